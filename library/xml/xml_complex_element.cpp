#include "xml/xml_complex_element.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "foundation/exception.h"
#include "xml/xml_element_observer.h"

namespace {

thread_local int nesting = 0;

}  // namespace

KoXMLComplexElement::NestingGuard::NestingGuard() {
    if (nesting >= kMaxNesting) throw KoException("element tree nested too deeply", 0, "src");
    ++nesting;
}

KoXMLComplexElement::NestingGuard::~NestingGuard() { --nesting; }

KoXMLComplexElement::KoXMLComplexElement(std::string name, bool isLeaf, bool closesEmptyFlag)
    : name_(std::move(name)), isLeaf_(isLeaf), closesEmpty_(isLeaf || closesEmptyFlag) {}

void KoXMLComplexElement::beforeWrite(std::ostream&) {}

void KoXMLComplexElement::childAdded(KoXMLComplexElement*) {}

void KoXMLComplexElement::childRemoving(KoXMLComplexElement*) {}

// Subtrees are freed from a work list rather than by each child's destructor
// deleting its own children, so the depth of a tree cannot exhaust the stack.
// Every node is still destroyed before its descendants, in document order.
KoXMLComplexElement::~KoXMLComplexElement() {
    if (observer_ != nullptr) observer_->elementDestroying(this);
    std::deque<KoXMLComplexElement*> pending;
    pending.swap(children_);
    while (!pending.empty()) {
        KoXMLComplexElement* child = pending.front();
        pending.pop_front();
        if (child == nullptr) continue;
        pending.insert(pending.begin(), child->children_.begin(), child->children_.end());
        child->children_.clear();
        child->parent_ = nullptr;
        delete child;
    }
}

bool KoXMLComplexElement::lineBreak() const { return lineBreak_; }

std::string KoXMLComplexElement::contentDTD(const std::string& name) {
    if (!name.empty()) contentDTD_ = name;
    return contentDTD_;
}

void KoXMLComplexElement::propagate(std::ostream& out) {
    if (children_.empty()) return;
    NestingGuard guard;
    for (KoXMLComplexElement* child : children_) {
        if (child != nullptr) child->propagate(out);
    }
}

bool KoXMLComplexElement::isLeaf() const { return isLeaf_; }

void KoXMLComplexElement::setLeaf(bool leaf) { isLeaf_ = leaf; }

bool KoXMLComplexElement::closesEmpty() const { return closesEmpty_; }

void KoXMLComplexElement::setClosesEmpty(bool closesEmpty) { closesEmpty_ = closesEmpty; }

std::ostream& KoXMLComplexElement::write(std::ostream& out) {
    beforeWrite(out);
    out << '<' << name_;
    if (isLeaf_ || (closesEmpty_ && children_.empty())) {
        out << " />";
        return out;
    }
    out << '>';
    writeChildren(out);
    out << "</" << name_ << '>';
    return out;
}

KoXMLComplexElement* KoXMLComplexElement::addChild(KoXMLComplexElement* child) {
    if (isLeaf_) throw KoException("child elements not allowed for " + name_, 631, "src");
    if (child == nullptr) return child;
    prepareAdoption(child);
    children_.push_back(child);
    child->parent_ = this;
    childAdded(child);
    return child;
}

KoXMLComplexElement* KoXMLComplexElement::replaceChildren(KoXMLComplexElement* child) {
    if (isLeaf_) throw KoException("child elements not allowed for " + name_, 631, "src");
    // The new child may be one of the old ones: keep it out of the deletion.
    std::unique_ptr<KoXMLComplexElement> kept;
    if (child != nullptr) {
        prepareAdoption(child);
        kept.reset(child);
    }
    deleteChildren();
    kept.release();
    return addChild(child);
}

bool KoXMLComplexElement::isText() const { return false; }

const std::string& KoXMLComplexElement::name() const { return name_; }

// Walks with an explicit stack; the order is the recursive pre-order.
KoXMLElementList& KoXMLComplexElement::collectByName(const std::string& name,
                                                     KoXMLElementList& list, int depth) {
    std::vector<std::pair<KoXMLComplexElement*, int>> stack{{this, depth}};
    while (!stack.empty()) {
        auto [element, level] = stack.back();
        stack.pop_back();
        if (element->name_ == name) list.push_back(element);
        if (level != -1 && level <= 0) continue;
        const int next = level == -1 ? -1 : level - 1;
        for (auto it = element->children_.rbegin(); it != element->children_.rend(); ++it) {
            if (*it == nullptr) throw KoException("Nullelement", 687, "src");
            stack.emplace_back(*it, next);
        }
    }
    return list;
}

KoXMLComplexElement* KoXMLComplexElement::nthContentChild(int n, bool skipText) {
    for (KoXMLComplexElement* child : children_) {
        if (child == nullptr) continue;
        const std::string& childName = child->name();
        if (childName == "procinst" || childName == "comment") continue;
        if (skipText && childName == "xmltext") continue;
        if (n-- == 0) return child;
    }
    return nullptr;
}

KoXMLComplexElement* KoXMLComplexElement::firstContentChild(bool skipText) {
    return nthContentChild(0, skipText);
}

KoXMLComplexElement* KoXMLComplexElement::secondContentChild(bool skipText) {
    return nthContentChild(1, skipText);
}

KoXMLComplexElement* KoXMLComplexElement::thirdContentChild(bool skipText) {
    return nthContentChild(2, skipText);
}

void KoXMLComplexElement::children(KoXMLElementList& list) {
    list.insert(list.end(), children_.begin(), children_.end());
}

bool KoXMLComplexElement::replaceByAttribute(KoXMLGenericElement*, const std::string&,
                                             const std::string&) {
    return false;
}

bool KoXMLComplexElement::wrapChild(KoXMLComplexElement* old, KoXMLComplexElement* replacement) {
    if (old == nullptr || replacement == nullptr || old == replacement) return false;
    auto it = findChild(old);
    if (it == children_.end()) return false;
    if (replacement == this || (!replacement->children_.empty() && isInside(replacement))) return false;
    if (replacement->parent_ != nullptr) {
        // Taking replacement out of its tree may shift old's position here.
        replacement->parent_->detachChild(replacement).release();
        it = findChild(old);
    }
    const auto position = it - children_.begin();
    childRemoving(old);
    // Old moves into replacement first; should that throw (a leaf),
    // nothing has changed here.
    children_.erase(children_.begin() + position);
    old->parent_ = nullptr;
    try {
        replacement->addChild(old);
    } catch (...) {
        if (old->parent_ == nullptr) {
            children_.insert(children_.begin() + position, old);
            old->parent_ = this;
        }
        // Otherwise replacement owns old and replacement's own hook threw.
        throw;
    }
    children_.insert(children_.begin() + position, replacement);
    replacement->parent_ = this;
    childAdded(replacement);
    return true;
}

bool KoXMLComplexElement::replaceChild(KoXMLComplexElement* old, KoXMLComplexElement* replacement) {
    if (old == nullptr) return false;
    auto it = findChild(old);
    if (it == children_.end()) return false;
    if (replacement == old) return true;
    if (replacement != nullptr) {
        prepareAdoption(replacement);
        it = findChild(old);
    }
    childRemoving(old);
    if (replacement == nullptr) {
        // An empty slot would trip every later walk over the children.
        children_.erase(it);
    } else {
        *it = replacement;
        replacement->parent_ = this;
    }
    old->parent_ = nullptr;
    delete old;
    if (replacement != nullptr) childAdded(replacement);
    return true;
}

void KoXMLComplexElement::deleteChildren() {
    while (!children_.empty()) {
        KoXMLComplexElement* child = children_.front();
        if (child != nullptr) childRemoving(child);
        children_.pop_front();
        if (child != nullptr) {
            child->parent_ = nullptr;
            delete child;
        }
    }
}

void KoXMLComplexElement::closed() {}

std::unique_ptr<KoXMLComplexElement> KoXMLComplexElement::detachChild(KoXMLComplexElement* child) {
    if (child == nullptr) return nullptr;
    auto it = findChild(child);
    if (it == children_.end()) return nullptr;
    childRemoving(child);
    children_.erase(it);
    child->parent_ = nullptr;
    return std::unique_ptr<KoXMLComplexElement>(child);
}

void KoXMLComplexElement::prepareAdoption(KoXMLComplexElement* child) {
    if (child == this || (!child->children_.empty() && isInside(child))) {
        throw KoException("element cannot contain itself: " + child->name_, 0, "src");
    }
    if (child->parent_ != nullptr) child->parent_->detachChild(child).release();
}

// Only a node with children can be an ancestor, which keeps the walk off the
// common path of adding fresh nodes.
bool KoXMLComplexElement::isInside(const KoXMLComplexElement* ancestor) const {
    for (const KoXMLComplexElement* up = this; up != nullptr; up = up->parent_) {
        if (up == ancestor) return true;
    }
    return false;
}

std::deque<KoXMLComplexElement*>::iterator KoXMLComplexElement::findChild(
    KoXMLComplexElement* child) {
    return std::find(children_.begin(), children_.end(), child);
}

void KoXMLComplexElement::writeChildren(std::ostream& out) {
    if (children_.empty()) return;
    NestingGuard guard;
    for (KoXMLComplexElement* child : children_) {
        if (child != nullptr) child->write(out);
    }
}

void KoXMLComplexElement::setError(std::string text) {
    errorFlag_ = true;
    errorText_ = std::move(text);
}
