// HTML/CSS document model: the page sent for a resource that is missing.
//
// KoHTML_ErrorMsg404 is a complete document built in its constructor: the
// title in the head; in the body the given markup (written unescaped), a
// line break and a link. The HTTP layer builds it with the k404 texts.
// Threads: not synchronised, like every tree node.
// Failure: only what building the tree can raise (memory).
#pragma once

#include <string>

#include "html/html_document.h"

inline constexpr const char* k404Title = "Error 404 - not found";
inline constexpr const char* k404BodyMarkup =
    "<h1>Error 404 - not found</h1>The requested page was not found or the project was timed "
    "out.";
inline constexpr const char* k404LinkHref = "/";
inline constexpr const char* k404LinkText = "Startseite";

class KoHTML_ErrorMsg404 : public KoHTML_Document2 {
public:
    KoHTML_ErrorMsg404(const std::string& title, const std::string& bodyMarkup,
                       const std::string& linkHref, const std::string& linkText);
    ~KoHTML_ErrorMsg404() override;
};
