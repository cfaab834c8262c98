#include "message/shared_values.h"

#include <utility>

KoSharedValues::KoSharedValues(Map values) : values_(std::make_shared<Map>(std::move(values))) {}

KoSharedValues& KoSharedValues::operator=(Map values) {
    values_ = std::make_shared<Map>(std::move(values));
    return *this;
}

const KoSharedValues::Map& KoSharedValues::map() const {
    static const Map none;
    return values_ ? *values_ : none;
}

KoSharedValues::Map& KoSharedValues::own() {
    // Sole holder: nobody else can see a change (every map held here was
    // made mutable, by make_shared<Map>).
    if (!values_ || values_.use_count() != 1) values_ = std::make_shared<Map>(map());
    return const_cast<Map&>(*values_);
}

std::size_t KoSharedValues::erase(const std::string& key) {
    if (map().count(key) == 0) return 0;
    return own().erase(key);
}
