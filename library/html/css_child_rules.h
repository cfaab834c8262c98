// HTML/CSS document model: which nodes may sit inside CSS containers.
// Internal to library/html.
#pragma once

class KoXMLComplexElement;

namespace ko_css {

// Comments and white space between CSS nodes: generic text and white-space
// nodes of the XML model.
bool isTextNode(const KoXMLComplexElement* node);

}  // namespace ko_css
