// XML object model: the attribute family, its root.
// May use: foundation.
//
// KoXMLComplexAttribute2 is the interface of every attribute value an element
// holds: how it is stored and parsed is up to the subclass, the element only
// asks whether it is set, writes it and assigns text to it. All values are
// byte strings; nothing is escaped or converted here.
//
// Ownership: an element's attribute map owns the attributes it holds and
// deletes them through the virtual destructor. An attribute is not
// synchronised; it belongs to the thread that owns its element.
// Failure: only KoXMLDoubleKoAttribute::assign throws (std::invalid_argument
// or std::out_of_range); everything else cannot fail.
#pragma once

#include <ostream>
#include <string>

class KoXMLComplexAttribute2 {
public:
    KoXMLComplexAttribute2() = default;
    KoXMLComplexAttribute2(const KoXMLComplexAttribute2&) = delete;
    KoXMLComplexAttribute2& operator=(const KoXMLComplexAttribute2&) = delete;
    virtual ~KoXMLComplexAttribute2();

    // Whether the attribute carries a value that is to be written. Base: true.
    virtual bool isSet() const;
    // Writes the value's text form. Base: nothing.
    virtual void writeValue(std::ostream& out) const;
    // Sets the value from a NUL-terminated string, which may be null.
    // Returns its argument. Base: no effect.
    virtual const char* assignCString(const char* text);
    // Sets the value from a string. Base: no effect, returns an empty string.
    virtual const std::string& assign(const std::string& text);

    // The text that writeValue produces.
    std::string valueText() const;
};
