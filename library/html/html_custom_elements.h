// HTML/CSS document model: the element classes with typed attributes,
// constructor arguments or writing rules of their own (the CUSTOM rows of
// html_element_table.h).
//
// Typed attributes are public members, published in the attribute map under
// their HTML names, so they can be set either way. They start not set and
// are left out of the output, except where a class gives a default. Each
// class can be built without arguments, as the element catalogue does; the
// defaults of the arguments are what the catalogue passes.
//
// Threads: not synchronised, like every tree node.
// Failure: as their categories; KoHTML_style2 refuses non-CSS children with
// KoException "must be an CSS element" (source "src", 1094) after the child
// was appended; a non-number given to a progress value or max through assign
// or setAttribute throws std::invalid_argument or std::out_of_range.
#pragma once

#include <ostream>
#include <string>

#include "html/html_element_types.h"
#include "xml/xml_bool_ko_attribute.h"
#include "xml/xml_double_ko_attribute.h"
#include "xml/xml_string_ko_attribute.h"

class KoHTML_a2 : public KoHTML_ElementType0 {
public:
    KoHTML_a2();
    // href is always set; one text child with text is always appended.
    KoHTML_a2(const std::string& href, const std::string& text);
    ~KoHTML_a2() override;

    KoXMLStringKoAttribute href;
    KoXMLStringKoAttribute nameAttribute;  // "name"

private:
    void publish();
};

class KoHTML_div2 : public KoHTML_ElementType0,
                    public KoHTML_ElementType0A,
                    public KoHTML_ElementType0B,
                    public KoHTML_ElementType0C {
public:
    // What a draggable div runs on mouse down; pages supply the function.
    static constexpr const char* kDragHandler = "velko_start_drag(this);";

    // draggable sets onmousedown to kDragHandler; a non-empty elementId
    // becomes the id.
    explicit KoHTML_div2(const std::string& elementId = "", bool draggable = false);
    ~KoHTML_div2() override;

    KoXMLStringKoAttribute onmousedown;
};

class KoHTML_form2 : public KoHTML_ElementType0,
                     public KoHTML_ElementType0A,
                     public KoHTML_ElementType0B {
public:
    // method is always set, action only when not empty.
    explicit KoHTML_form2(const std::string& action = "", const std::string& method = "POST");
    ~KoHTML_form2() override;

    KoXMLStringKoAttribute method;
    KoXMLStringKoAttribute action;
};

class KoHTML_iframe2 : public KoHTML_ElementType0 {
public:
    // Each non-empty one of src, width and height is set; one text child is
    // always appended, also an empty one.
    explicit KoHTML_iframe2(const std::string& source = "", const std::string& frameWidth = "",
                            const std::string& frameHeight = "", const std::string& text = "");
    ~KoHTML_iframe2() override;

    KoXMLStringKoAttribute src;
    KoXMLStringKoAttribute width;
    KoXMLStringKoAttribute height;
};

class KoHTML_img2 : public KoHTML_ElementType2 {
public:
    // Each non-empty argument is set.
    explicit KoHTML_img2(const std::string& source = "", const std::string& altText = "",
                         const std::string& titleText = "");
    ~KoHTML_img2() override;

    KoXMLStringKoAttribute src;
    KoXMLStringKoAttribute alt;
    KoXMLStringKoAttribute title;
};

class KoHTML_input2 : public KoHTML_ElementType2 {
public:
    KoHTML_input2();
    ~KoHTML_input2() override;

    KoXMLStringKoAttribute nameAttribute;  // "name"
    KoXMLStringKoAttribute value;
    KoXMLStringKoAttribute type;
};

class KoHTML_label2 : public KoHTML_ElementType0, public KoHTML_ElementType0A {
public:
    // A non-empty target sets "for"; a non-empty text becomes a text child.
    explicit KoHTML_label2(const std::string& target = "", const std::string& text = "");
    ~KoHTML_label2() override;

    KoXMLStringKoAttribute forAttribute;  // "for"
};

class KoHTML_link2 : public KoHTML_ElementType2 {
public:
    // type "text/css" and rel "stylesheet" are set; href when not empty.
    explicit KoHTML_link2(const std::string& reference = "");
    ~KoHTML_link2() override;

    KoXMLStringKoAttribute type;
    KoXMLStringKoAttribute rel;
    KoXMLStringKoAttribute href;
};

class KoHTML_meta2 : public KoHTML_ElementType2 {
public:
    // A non-empty text name="value" gives one attribute (assignAttributeText).
    explicit KoHTML_meta2(const std::string& attributeText = "");
    ~KoHTML_meta2() override;
};

class KoHTML_option2 : public KoHTML_ElementType1 {
public:
    // value is always set; one text child is always appended. "selected"
    // is in the attribute map only when selected is true.
    explicit KoHTML_option2(const std::string& optionValue = "", const std::string& text = "",
                            bool isSelected = false);
    ~KoHTML_option2() override;

    KoXMLStringKoAttribute value;
    KoXMLBoolKoAttribute selected;
};

class KoHTML_progress2 : public KoHTML_ElementType0, public KoHTML_ElementType0A {
public:
    KoHTML_progress2();
    ~KoHTML_progress2() override;

    KoXMLDoubleKoAttribute value;
    KoXMLDoubleKoAttribute max;
};

// Script text is written inside an HTML comment, so the start tag is always
// followed by "\n<!--\n" and the end tag preceded by "\n//-->\n"; a script
// element never takes the short form.
class KoHTML_script2 : public KoHTML_ElementType0 {
public:
    KoHTML_script2();
    ~KoHTML_script2() override;

    void afterStartTag(std::ostream& out) override;
    void beforeEndTag(std::ostream& out) override;

    KoXMLStringKoAttribute src;
    KoXMLStringKoAttribute type;  // "text/javascript"
};

class KoHTML_select2 : public KoHTML_ElementType0 {
public:
    // "name" is set through setAttribute, also when empty; a non-empty
    // elementId becomes the id.
    explicit KoHTML_select2(const std::string& elementId = "", const std::string& selectName = "");
    ~KoHTML_select2() override;
};

// A style element holds a CSS tree: rules, media queries, HTML-comment
// wrappers, comments and white space. Its content is read with the "css"
// grammar.
class KoHTML_style2 : public KoHTML_ElementType0 {
public:
    KoHTML_style2();
    ~KoHTML_style2() override;

    void childAdded(KoXMLComplexElement* child) override;
    // Empty name: the stored grammar name. Otherwise stores it and answers
    // "css", whatever grammar the reader proposed.
    std::string contentDTD(const std::string& name) override;

    KoXMLStringKoAttribute src;
    KoXMLStringKoAttribute type;  // "text/css"
};

class KoHTML_title2 : public KoHTML_ElementType0 {
public:
    KoHTML_title2();
    // One text child with text is always appended.
    explicit KoHTML_title2(const std::string& text);
    ~KoHTML_title2() override;
};
