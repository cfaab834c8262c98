// XML object model: the element with attributes.
//
// KoXMLGenericElement adds an ordered map from attribute name to an owned
// attribute object (KoXMLComplexAttribute2); a null entry is a bare attribute,
// written as its name alone. It is what the XML reader builds for a tag and
// the base of the document, text-like nodes and every HTML element. Its
// writer puts an element with lineBreak set on a line of its own; nothing is
// escaped.
//
// Ownership: the element owns its attributes (a proxy entry, not the proxy's
// target) and its children. find returns a list that the caller owns of
// elements that stay in the tree.
// Threads: not synchronised, like the whole tree.
// Failure: attachAttribute and attachProxy throw the int 2 for a name that is
// present; assignAttributeText never throws and records failures in
// errorFlag/errorText instead; setAttribute lets a typed attribute's parse
// error through.
#pragma once

#include <list>
#include <map>
#include <memory>
#include <ostream>
#include <string>

#include "xml/xml_complex_attribute.h"
#include "xml/xml_complex_element.h"

using KoXMLGenericElementList = std::list<KoXMLGenericElement*>;
using KoXMLAttributeMap = std::map<std::string, std::unique_ptr<KoXMLComplexAttribute2>>;

class KoXMLGenericElement : public KoXMLComplexElement {
public:
    // Not a leaf, closes empty.
    KoXMLGenericElement(std::string name, bool lineBreak);
    // Deletes the attributes, then the base deletes the children.
    ~KoXMLGenericElement() override;

    // Start tag with attributes, children with the line-break rule, end tag.
    std::ostream& write(std::ostream& out) override;
    // The first direct child that is a generic element with attrName equal to
    // value is replaced by replacement (which gets that attribute) and
    // deleted; otherwise each child is asked in turn.
    bool replaceByAttribute(KoXMLGenericElement* replacement, const std::string& attrName,
                            const std::string& value) override;

    // Hook: called by the writer after the start tag's ">".
    virtual void afterStartTag(std::ostream& out);
    // Hook: called by the writer before the end tag.
    virtual void beforeEndTag(std::ostream& out);
    // Appends the children that are generic elements.
    virtual void elementChildren(KoXMLGenericElementList& list);
    // Applies name="value": the name before the first '=', the value from two
    // characters after it up to the last character, exclusive. Failures set
    // errorFlag with "error catched while assigning attritutes". Returns text.
    virtual const std::string& assignAttributeText(const std::string& text);
    // assign on the attribute stored under name, or a new generic attribute.
    virtual void setAttribute(const std::string& name, const std::string& value);
    // The attribute under name; a missing or bare entry becomes an empty
    // generic attribute. Never null.
    virtual KoXMLComplexAttribute2* attribute(const std::string& name);
    // The written value; defaultValue when there is no entry, empty for a
    // bare one.
    virtual std::string attributeText(const std::string& name, const std::string& defaultValue);
    // Whether the written value equals value; false for a missing or bare entry.
    virtual bool attributeEquals(const std::string& name, const std::string& value);
    // True also for a bare entry.
    virtual bool hasAttribute(const std::string& name);
    virtual bool removeAttribute(const std::string& name);
    // replaceByAttribute, or else replacement gets the attribute and is
    // appended. True only when something was replaced; false for null.
    virtual bool replaceOrAdd(KoXMLGenericElement* replacement, const std::string& attrName,
                              const std::string& value);
    // Pre-order over this element and its generic descendants.
    virtual void collectWithAttribute(KoXMLGenericElementList& list, const std::string& attrName);
    virtual void collectWhereAttribute(const std::string& attrName, const std::string& value,
                                       KoXMLGenericElementList& list);
    virtual KoXMLGenericElement* findWhereAttribute(const std::string& attrName,
                                                    const std::string& value);
    // collectByName keeping only generic elements. Throws "Nullelement".
    virtual void collectElementsByName(const std::string& name, KoXMLGenericElementList& list,
                                       int depth);
    // Deletes the first direct generic child with attrName equal to value.
    virtual void removeChildWhereAttribute(const std::string& attrName, const std::string& value);
    // Dotted path lookup with [name="value"] or [name] predicates, e.g.
    // option[name="port"].value.
    virtual std::unique_ptr<KoXMLGenericElementList> find(const std::string& path);

    // addChild at the front; null is ignored.
    KoXMLComplexElement* addChildFront(KoXMLComplexElement* child);
    // Stores attribute under name. Throws the int 2 when the name is present;
    // the attribute is then deleted.
    void attachAttribute(const std::string& name, std::unique_ptr<KoXMLComplexAttribute2> attribute);
    // Publishes target, which stays owned by the caller, through a proxy.
    void attachProxy(const std::string& name, KoXMLComplexAttribute2* target);
    // Stores a bare attribute (null entry) under name, replacing any entry.
    void setBareAttribute(const std::string& name);
    const KoXMLAttributeMap& attributes() const { return attributes_; }

protected:
    void writeAttributes(std::ostream& out);

    KoXMLAttributeMap attributes_;

private:
    // The replacement step of replaceByAttribute over direct children only.
    bool replaceDirectChild(KoXMLGenericElement* replacement, const std::string& attrName,
                            const std::string& value);
};
