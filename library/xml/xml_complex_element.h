// XML object model: the one tree type of the system.
// May use: foundation.
//
// The store keeps its data in these trees, the markup reader builds them from
// XML, HTML and CSS text, and the HTML/CSS model derives its element classes
// from them and writes pages with them.
//
// KoXMLComplexElement is the base of every node: a name, flags for how it is
// written, and an ordered list of children that it owns. Deleting a node
// deletes its whole subtree (without recursion, so absurdly deep trees are
// freed safely). Tree editing keeps two rules: a node has at most one parent,
// and a node never becomes its own ancestor; an operation handed a node that
// already sits in a tree moves it, and one that would make a cycle throws.
// Searching and path lookup walk without recursion. The writer and propagate
// recurse once per level through each node's virtual write and propagate, so
// they refuse trees nested deeper than kMaxNesting levels.
//
// Threads: a tree is not synchronised; one thread at a time may use it.
// Failure: KoException (source "src") from addChild on a leaf, from an edit
// that would make a cycle, "Nullelement" from collectByName, and "element
// tree nested too deeply" from write and propagate (the stream then holds
// the part written so far).
#pragma once

#include <deque>
#include <list>
#include <memory>
#include <ostream>
#include <string>

class KoXMLGenericElement;
class KoXMLElementObserver;

class KoXMLComplexElement;
using KoXMLElementList = std::list<KoXMLComplexElement*>;

class KoXMLComplexElement {
public:
    // closesEmpty becomes (isLeaf or closesEmptyFlag); lineBreak starts false.
    // Levels of nested elements that write and propagate descend into; a
    // level costs well under a kilobyte of stack, also with sanitizers.
    static constexpr int kMaxNesting = 4096;

    KoXMLComplexElement(std::string name, bool isLeaf, bool closesEmptyFlag);
    KoXMLComplexElement(const KoXMLComplexElement&) = delete;
    KoXMLComplexElement& operator=(const KoXMLComplexElement&) = delete;

    // Hook: every write calls it first.
    virtual void beforeWrite(std::ostream& out);
    // Hook: called after child was put into the children.
    virtual void childAdded(KoXMLComplexElement* child);
    // Hook: called before child leaves the children.
    virtual void childRemoving(KoXMLComplexElement* child);
    // Notifies the observer, then deletes every child.
    virtual ~KoXMLComplexElement();
    virtual bool lineBreak() const;
    // Stores a non-empty name; returns the stored grammar name.
    virtual std::string contentDTD(const std::string& name);
    // Passes out to every child, in order.
    virtual void propagate(std::ostream& out);
    virtual bool isLeaf() const;
    virtual void setLeaf(bool leaf);
    virtual bool closesEmpty() const;
    virtual void setClosesEmpty(bool closesEmpty);
    // "<name />" or "<name>" children "</name>".
    virtual std::ostream& write(std::ostream& out);
    // Appends child and takes ownership of it. Null is ignored and returned.
    // A child that sits in another tree is first taken out of it.
    // Throws KoException "child elements not allowed for " + name on a leaf
    // (the caller then keeps the child), and when child is this element or
    // one of its ancestors.
    virtual KoXMLComplexElement* addChild(KoXMLComplexElement* child);
    // Deletes all children, then addChild(child).
    virtual KoXMLComplexElement* replaceChildren(KoXMLComplexElement* child);
    virtual bool isText() const;
    virtual const std::string& name() const;
    // Appends this element when its name matches, then asks the children down
    // to depth levels (-1: no limit). Pre-order.
    virtual KoXMLElementList& collectByName(const std::string& name, KoXMLElementList& list,
                                            int depth);
    // The first, second and third child whose name is neither "procinst" nor
    // "comment", nor "xmltext" when skipText is true; null when too few.
    virtual KoXMLComplexElement* firstContentChild(bool skipText);
    virtual KoXMLComplexElement* secondContentChild(bool skipText);
    virtual KoXMLComplexElement* thirdContentChild(bool skipText);
    // Appends every child, in order.
    virtual void children(KoXMLElementList& list);
    // Base: false.
    virtual bool replaceByAttribute(KoXMLGenericElement* replacement, const std::string& attrName,
                                    const std::string& value);
    // Puts replacement in old's place and old inside replacement. False when
    // old is not a child or replacement is null, old itself, or an ancestor.
    virtual bool wrapChild(KoXMLComplexElement* old, KoXMLComplexElement* replacement);
    // Puts replacement in old's place and deletes old. False when old is not
    // a child. A null replacement just removes and deletes old.
    virtual bool replaceChild(KoXMLComplexElement* old, KoXMLComplexElement* replacement);
    virtual void deleteChildren();
    // Hook: the reader calls it when it has finished the element.
    virtual void closed();

    // Takes child out of the children without deleting it; the caller owns
    // it afterwards. Null when child is not a child of this element.
    std::unique_ptr<KoXMLComplexElement> detachChild(KoXMLComplexElement* child);
    // addChild for an owned node: ownership passes to the tree only when the
    // node was put into it, so nothing leaks when addChild throws.
    template <class T>
    T* adoptChild(std::unique_ptr<T> child) {
        T* raw = child.get();
        try {
            addChild(raw);
        } catch (...) {
            if (raw != nullptr && raw->parent() == this) child.release();
            throw;
        }
        child.release();
        return raw;
    }

    KoXMLComplexElement* parent() const { return parent_; }
    const std::deque<KoXMLComplexElement*>& childNodes() const { return children_; }
    void setLineBreak(bool lineBreak) { lineBreak_ = lineBreak; }
    bool errorFlag() const { return errorFlag_; }
    const std::string& errorText() const { return errorText_; }
    KoXMLElementObserver* observer() const { return observer_; }
    void setObserver(KoXMLElementObserver* observer) { observer_ = observer; }

protected:
    // Makes child ready to be put under this element: refuses a cycle and
    // takes child out of the tree it sits in.
    void prepareAdoption(KoXMLComplexElement* child);
    // Position of child in children_, or children_.end().
    std::deque<KoXMLComplexElement*>::iterator findChild(KoXMLComplexElement* child);
    // Writes every child in order.
    void writeChildren(std::ostream& out);

    // Held while a writer or propagate descends into children; throws
    // KoException past kMaxNesting levels on the current thread.
    class NestingGuard {
    public:
        NestingGuard();
        ~NestingGuard();
        NestingGuard(const NestingGuard&) = delete;
        NestingGuard& operator=(const NestingGuard&) = delete;
    };
    void setError(std::string text);
    // Sets the back reference of a node of any class.
    static void linkParent(KoXMLComplexElement* child, KoXMLComplexElement* parent) {
        child->parent_ = parent;
    }

    std::string name_;
    bool isLeaf_;
    bool closesEmpty_;
    std::deque<KoXMLComplexElement*> children_;
    KoXMLComplexElement* parent_ = nullptr;
    bool errorFlag_ = false;
    std::string errorText_;
    KoXMLElementObserver* observer_ = nullptr;
    std::string contentDTD_;
    bool lineBreak_ = false;

private:
    // Whether ancestor is this element or one of its ancestors.
    bool isInside(const KoXMLComplexElement* ancestor) const;
    KoXMLComplexElement* nthContentChild(int n, bool skipText);
};
