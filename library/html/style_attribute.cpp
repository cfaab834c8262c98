#include "html/style_attribute.h"

#include <vector>

#include "foundation/exception.h"
#include "foundation/text_utils.h"

KoStyleAttribute::KoStyleAttribute() = default;

KoStyleAttribute::~KoStyleAttribute() = default;

bool KoStyleAttribute::isSet() const { return !properties_.empty(); }

void KoStyleAttribute::writeValue(std::ostream& out) const {
    for (const auto& entry : properties_) {
        if (!entry.second->isEmpty()) {
            entry.second->write(out);
        }
    }
}

const char* KoStyleAttribute::assignCString(const char* text) {
    if (text != nullptr && *text != '\0') {
        assign(std::string(text));
    }
    return text;
}

const std::string& KoStyleAttribute::assign(const std::string& text) {
    for (const std::string& piece : splitText(text, ";", false)) {
        const std::string declaration = trim(piece, " ");
        const std::vector<std::string> parts = splitText(declaration, ":", false);
        if (parts.empty()) {
            continue;
        }
        if (parts.size() != 2) {
            throw KoException("style syntax wrong at: >" + text + "< ", 59, "src");
        }
        auto property = std::make_shared<KoCSSProperty>(
            trim(parts[0], " ") + ":" + trim(parts[1], " ") + ";", false);
        const std::string key = property->propertyName();
        properties_[key] = std::move(property);
    }
    return text;
}

std::shared_ptr<KoCSSProperty> KoStyleAttribute::property(const std::string& name) {
    // Keyed like parsed declarations, so both reach the same property.
    auto created = std::make_shared<KoCSSProperty>(name, true);
    auto [it, inserted] = properties_.try_emplace(created->propertyName(), created);
    return it->second;
}
