#include "html/css_property.h"

#include "foundation/exception.h"
#include "foundation/text_utils.h"

KoCSSProperty::KoCSSProperty(const std::string& text, bool isName)
    : KoXMLComplexElement("cssproperty", false, true) {
    if (isName) {
        propertyName_ = trim(text, " ;\n\t\r");
        // A name made only of separators is as empty as no name at all.
        if (propertyName_.empty()) {
            throw KoException("CSS property must have a name", 962, "src");
        }
        return;
    }
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) {
        throw KoException("CSS property not well formed (missing ':').", 969, "src");
    }
    propertyName_ = trim(text.substr(0, colon), " ");
    value_ = trim(text.substr(colon + 1), " ;\n\t\r");
}

KoCSSProperty::~KoCSSProperty() = default;

void KoCSSProperty::childAdded(KoXMLComplexElement*) {
    throw KoException("no childs possible", 984, "src");
}

std::ostream& KoCSSProperty::write(std::ostream& out) {
    if (value_.empty()) {
        return out;
    }
    beforeWrite(out);
    out << propertyName_ << ": " << value_ << ";";
    return out;
}

const std::string& KoCSSProperty::propertyName() const { return propertyName_; }

bool KoCSSProperty::isEmpty() const { return value_.empty(); }

const std::string& KoCSSProperty::setValue(const std::string& text) {
    value_ = text;
    return value_;
}
