#include "xml/xml_generic_element.h"

#include <stdexcept>
#include <utility>
#include <vector>

#include "foundation/exception.h"
#include "xml/xml_complex_attribute_proxy.h"
#include "xml/xml_generic_attribute.h"

namespace {

// Pre-order over element and every descendant, with an explicit stack so that
// deep trees cannot exhaust the call stack. visit sees each generic element.
template <class Visit>
void walkGeneric(KoXMLComplexElement* element, Visit visit) {
    std::vector<KoXMLComplexElement*> stack{element};
    while (!stack.empty()) {
        KoXMLComplexElement* current = stack.back();
        stack.pop_back();
        if (auto* generic = dynamic_cast<KoXMLGenericElement*>(current)) visit(generic);
        const auto& nodes = current->childNodes();
        for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
            if (*it != nullptr) stack.push_back(*it);
        }
    }
}

// The predicate after a '[': attribute name, attribute value and where it
// ended (the closing ']' or the end of the path).
struct PathPredicate {
    std::string name;
    std::string value;
    std::size_t end = std::string::npos;
};

PathPredicate scanPredicate(const std::string& path, std::size_t from) {
    PathPredicate predicate;
    std::string* current = &predicate.name;
    bool inQuote = false;
    bool escaped = false;
    for (std::size_t i = from; i < path.size(); ++i) {
        const char c = path[i];
        if (c == '"') {
            if (!escaped) inQuote = !inQuote;
        } else if (c == '=') {
            if (!inQuote) current = &predicate.value;
        } else if (c == '\\') {
            if (!inQuote) continue;
            if (escaped) {
                current->push_back(c);
                escaped = false;
            } else {
                escaped = true;
            }
        } else if (c == ']') {
            if (!inQuote && !escaped) {
                predicate.end = i;
                break;
            }
            escaped = false;
        } else {
            current->push_back(c);
            escaped = false;
        }
    }
    return predicate;
}

}  // namespace

KoXMLGenericElement::KoXMLGenericElement(std::string name, bool lineBreak)
    : KoXMLComplexElement(std::move(name), false, true) {
    lineBreak_ = lineBreak;
}

KoXMLGenericElement::~KoXMLGenericElement() { attributes_.clear(); }

void KoXMLGenericElement::writeAttributes(std::ostream& out) {
    for (const auto& [attrName, attribute] : attributes_) {
        if (attribute == nullptr) {
            out << ' ' << attrName;
        } else if (attribute->isSet()) {
            out << ' ' << attrName << "=\"";
            attribute->writeValue(out);
            out << '"';
        }
    }
}

std::ostream& KoXMLGenericElement::write(std::ostream& out) {
    beforeWrite(out);
    out << '<' << name_;
    writeAttributes(out);
    if (isLeaf_ || (closesEmpty_ && children_.empty())) {
        out << " />";
        return out;
    }
    out << '>';
    afterStartTag(out);
    NestingGuard guard;
    // An element that wants a line of its own gets one when its predecessor
    // wanted one too; text stays on the line of its neighbours.
    bool previousBreaks = true;
    for (KoXMLComplexElement* child : children_) {
        if (child == nullptr) continue;
        const bool breaks = child->lineBreak();
        if (breaks && previousBreaks) out << '\n';
        child->write(out);
        previousBreaks = breaks;
    }
    beforeEndTag(out);
    if (!children_.empty() && children_.back() != nullptr && children_.back()->lineBreak()) {
        out << '\n';
    }
    out << "</" << name_ << '>';
    return out;
}

bool KoXMLGenericElement::replaceDirectChild(KoXMLGenericElement* replacement,
                                             const std::string& attrName, const std::string& value) {
    for (KoXMLComplexElement* child : children_) {
        auto* generic = dynamic_cast<KoXMLGenericElement*>(child);
        if (generic == nullptr || !generic->attributeEquals(attrName, value)) continue;
        if (generic == replacement) {
            replacement->setAttribute(attrName, value);
            return true;
        }
        // The attribute first: a typed attribute that rejects the value then
        // leaves the tree as it was.
        replacement->setAttribute(attrName, value);
        prepareAdoption(replacement);
        auto it = findChild(generic);
        childRemoving(generic);
        *it = replacement;
        replacement->parent_ = this;
        childAdded(replacement);
        generic->parent_ = nullptr;
        delete generic;
        return true;
    }
    return false;
}

// Direct children first, then each child's subtree in order; kept off the
// call stack like the other walks.
bool KoXMLGenericElement::replaceByAttribute(KoXMLGenericElement* replacement,
                                             const std::string& attrName, const std::string& value) {
    if (replacement == nullptr) return false;
    std::vector<KoXMLGenericElement*> stack{this};
    while (!stack.empty()) {
        KoXMLGenericElement* current = stack.back();
        stack.pop_back();
        if (current->replaceDirectChild(replacement, attrName, value)) return true;
        for (auto it = current->children_.rbegin(); it != current->children_.rend(); ++it) {
            if (auto* generic = dynamic_cast<KoXMLGenericElement*>(*it)) stack.push_back(generic);
        }
    }
    return false;
}

void KoXMLGenericElement::afterStartTag(std::ostream&) {}

void KoXMLGenericElement::beforeEndTag(std::ostream&) {}

void KoXMLGenericElement::elementChildren(KoXMLGenericElementList& list) {
    for (KoXMLComplexElement* child : children_) {
        if (auto* generic = dynamic_cast<KoXMLGenericElement*>(child)) list.push_back(generic);
    }
}

const std::string& KoXMLGenericElement::assignAttributeText(const std::string& text) {
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos) return text;
    try {
        // The quotes around the value are skipped unseen: from two after the
        // equals sign up to the last character.
        const std::size_t first = equals + 2;
        const std::size_t last = text.size() - 1;
        if (first > last) throw std::out_of_range("attribute value out of range");
        setAttribute(text.substr(0, equals), text.substr(first, last - first));
    } catch (...) {
        setError("error catched while assigning attritutes");
    }
    return text;
}

void KoXMLGenericElement::setAttribute(const std::string& name, const std::string& value) {
    auto it = attributes_.find(name);
    if (it != attributes_.end() && it->second != nullptr) {
        it->second->assign(value);
        return;
    }
    attributes_[name] = std::make_unique<KoXMLGenericAttribute>(value);
}

KoXMLComplexAttribute2* KoXMLGenericElement::attribute(const std::string& name) {
    auto& entry = attributes_[name];
    if (entry == nullptr) entry = std::make_unique<KoXMLGenericAttribute>("");
    return entry.get();
}

std::string KoXMLGenericElement::attributeText(const std::string& name,
                                               const std::string& defaultValue) {
    auto it = attributes_.find(name);
    if (it == attributes_.end()) return defaultValue;
    if (it->second == nullptr) return "";
    return it->second->valueText();
}

bool KoXMLGenericElement::attributeEquals(const std::string& name, const std::string& value) {
    auto it = attributes_.find(name);
    if (it == attributes_.end() || it->second == nullptr) return false;
    return it->second->valueText() == value;
}

bool KoXMLGenericElement::hasAttribute(const std::string& name) {
    return attributes_.find(name) != attributes_.end();
}

bool KoXMLGenericElement::removeAttribute(const std::string& name) {
    return attributes_.erase(name) > 0;
}

bool KoXMLGenericElement::replaceOrAdd(KoXMLGenericElement* replacement,
                                       const std::string& attrName, const std::string& value) {
    if (replacement == nullptr) return false;
    if (replaceByAttribute(replacement, attrName, value)) return true;
    replacement->setAttribute(attrName, value);
    addChild(replacement);
    return false;
}

void KoXMLGenericElement::collectWithAttribute(KoXMLGenericElementList& list,
                                               const std::string& attrName) {
    walkGeneric(this, [&](KoXMLGenericElement* element) {
        if (element->hasAttribute(attrName)) list.push_back(element);
    });
}

void KoXMLGenericElement::collectWhereAttribute(const std::string& attrName,
                                                const std::string& value,
                                                KoXMLGenericElementList& list) {
    walkGeneric(this, [&](KoXMLGenericElement* element) {
        if (element->attributeEquals(attrName, value)) list.push_back(element);
    });
}

KoXMLGenericElement* KoXMLGenericElement::findWhereAttribute(const std::string& attrName,
                                                             const std::string& value) {
    KoXMLGenericElementList found;
    collectWhereAttribute(attrName, value, found);
    return found.empty() ? nullptr : found.front();
}

void KoXMLGenericElement::collectElementsByName(const std::string& name,
                                                KoXMLGenericElementList& list, int depth) {
    KoXMLElementList all;
    collectByName(name, all, depth);
    for (KoXMLComplexElement* element : all) {
        if (auto* generic = dynamic_cast<KoXMLGenericElement*>(element)) list.push_back(generic);
    }
}

void KoXMLGenericElement::removeChildWhereAttribute(const std::string& attrName,
                                                    const std::string& value) {
    for (auto it = children_.begin(); it != children_.end(); ++it) {
        auto* generic = dynamic_cast<KoXMLGenericElement*>(*it);
        if (generic == nullptr || !generic->attributeEquals(attrName, value)) continue;
        childRemoving(generic);
        children_.erase(it);
        generic->parent_ = nullptr;
        delete generic;
        return;
    }
}

// Each step of the path narrows the set of elements; the work list holds the
// elements still to be searched with the offset of the path they still have
// to match, so the lookup needs no recursion however long the path is.
std::unique_ptr<KoXMLGenericElementList> KoXMLGenericElement::find(const std::string& path) {
    auto result = std::make_unique<KoXMLGenericElementList>();
    std::vector<std::pair<KoXMLGenericElement*, std::size_t>> work{{this, 0}};
    auto pushInOrder = [&work](const KoXMLGenericElementList& elements, std::size_t offset) {
        for (auto it = elements.rbegin(); it != elements.rend(); ++it) work.emplace_back(*it, offset);
    };
    while (!work.empty()) {
        auto [element, offset] = work.back();
        work.pop_back();
        if (offset >= path.size()) continue;
        const std::size_t stop = path.find_first_of(".[", offset);
        if (stop == std::string::npos) {
            element->collectElementsByName(path.substr(offset), *result, 1);
            continue;
        }
        KoXMLGenericElementList heads;
        element->collectElementsByName(path.substr(offset, stop - offset), heads, 1);
        if (path[stop] == '.') {
            pushInOrder(heads, stop + 1);
            continue;
        }
        const PathPredicate predicate = scanPredicate(path, stop + 1);
        if (predicate.name.empty()) continue;
        KoXMLGenericElementList candidates;
        for (KoXMLGenericElement* head : heads) {
            const bool matches = predicate.value.empty()
                ? head->hasAttribute(predicate.name)
                : head->attributeEquals(predicate.name, predicate.value);
            if (matches) candidates.push_back(head);
        }
        const bool more = predicate.end != std::string::npos && predicate.end + 1 < path.size();
        if (more) {
            // The character after ']' is the separator, normally a dot.
            pushInOrder(candidates, predicate.end + 2);
        } else {
            result->insert(result->end(), candidates.begin(), candidates.end());
        }
    }
    return result;
}

KoXMLComplexElement* KoXMLGenericElement::addChildFront(KoXMLComplexElement* child) {
    if (isLeaf_) throw KoException("child elements not allowed for " + name_, 631, "src");
    if (child == nullptr) return child;
    prepareAdoption(child);
    children_.push_front(child);
    linkParent(child, this);
    childAdded(child);
    return child;
}

void KoXMLGenericElement::attachAttribute(const std::string& name,
                                          std::unique_ptr<KoXMLComplexAttribute2> attribute) {
    if (attributes_.find(name) != attributes_.end()) throw 2;
    attributes_.emplace(name, std::move(attribute));
}

void KoXMLGenericElement::attachProxy(const std::string& name, KoXMLComplexAttribute2* target) {
    if (attributes_.find(name) != attributes_.end()) throw 2;
    attributes_.emplace(name, std::make_unique<KoXMLComplexAttributeProxy2>(target));
}

void KoXMLGenericElement::setBareAttribute(const std::string& name) { attributes_[name] = nullptr; }
