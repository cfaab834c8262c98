// Persistent storage: settings kept as XML trees in memory, with dotted-path
// access, projects and template expansion on top.
// May use: reader, html, xml, foundation, platform.
//
// KoXMLDatabase holds one XML tree: a document node that owns everything,
// and a base element below which paths are resolved. A path names elements
// from the base down, joined by ".", and ends in an attribute name, so
// options.port is the attribute port of base's child options. The tree can
// be read from an XML file; writing it back is switched off (save only
// reports that it is blocked).
//
// Ownership: the database owns its tree; element pointers handed out stay
// valid until the next load or the database's destruction.
// Threads: save, load, the *Locked operations, getOrInitValue, findElements
// and findAllNamed serialise on the database's own (non-recursive) lock.
// setValue, getValue and the string-variable operations do not lock; callers
// that share a database between threads use the locked variants.
// Failure: KoException (source "src") for a missing base element, a path
// without element and attribute names, and an unreadable file (the previous
// tree then stays); an empty createDefault callable for a missing file is
// std::bad_function_call. save never fails.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "xml/xml_complex_element.h"
#include "xml/xml_generic_element.h"

class KoXMLDatabase {
public:
    // Called with the file path when load finds no file; may create it.
    using CreateDefault = std::function<void(const std::string& filePath)>;

    // A document with the declaration version="1.0" encoding="UTF-8" and,
    // when rootName is not empty, a base element of that name.
    explicit KoXMLDatabase(const std::string& rootName);
    KoXMLDatabase(const KoXMLDatabase&) = delete;
    KoXMLDatabase& operator=(const KoXMLDatabase&) = delete;

    // Sets the attribute that path names, creating elements on the way.
    virtual void setValue(const std::string& path, const std::string& value);
    // The attribute's text, or defaultValue when the path does not resolve
    // or the attribute is absent. Creates nothing.
    virtual std::string getValue(const std::string& path, const std::string& defaultValue);
    virtual ~KoXMLDatabase();
    // Reports on standard error that writing is blocked; the disk stays as is.
    virtual void save(const std::string& filePath);
    // Replaces the tree by the file's root element, read with the "xml"
    // grammar. A file that does not exist is first handed to createDefault.
    // Throws "no config was found - " + path + " with " + the reader's error
    // when nothing could be read; the previous tree then stays.
    virtual void load(const std::string& filePath, const CreateDefault& createDefault);
    virtual void setValueLocked(const std::string& path, const std::string& value);
    virtual std::string getValueLocked(const std::string& path, const std::string& defaultValue);
    // getValue, then setValue with the result, in one locked step.
    virtual std::string getOrInitValue(const std::string& path, const std::string& defaultValue);
    // Appends the elements that path names: the children named like its last
    // part of the element that the other parts reach. Nothing when a step is
    // missing.
    virtual void findElements(const std::string& path, KoXMLGenericElementList& list);
    // Appends every element of that name in the tree from base down
    // (base included), in document order.
    virtual void findAllNamed(const std::string& name, KoXMLGenericElementList& list);
    // Names of the clients that hold this database open.
    virtual std::set<std::string>& holderSet();
    // The written children of the first element at
    // project.stringvariables.stringvariable whose name attribute is name,
    // or defaultValue when there is none.
    virtual std::string stringVariable(const std::string& name, const std::string& defaultValue);
    virtual bool hasStringVariable(const std::string& name);

    // Directory part of the last file loaded, ending in its separator.
    const std::string& directory() const { return directory_; }
    const std::string& rootName() const { return rootName_; }
    KoXMLComplexElement* document() const { return document_.get(); }
    KoXMLGenericElement* base() const { return base_; }

protected:
    // Operations without the lock, for callers that hold it.
    KoXMLGenericElement* resolve(const std::string& path, std::string& attributeName, bool create);
    void findElementsUnlocked(const std::string& path, KoXMLGenericElementList& list);
    KoXMLGenericElement* findStringVariable(const std::string& name);

    std::string directory_;
    std::string rootName_;
    std::unique_ptr<KoXMLComplexElement> document_;
    KoXMLGenericElement* base_ = nullptr;
    std::set<std::string> holders_;
    std::mutex lock_;
};
