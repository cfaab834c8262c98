#include "html/html_text.h"

#include <utility>

KoHTML_text2::KoHTML_text2() : KoHTML_text2(std::string()) {}

KoHTML_text2::KoHTML_text2(std::string text)
    : KoHTML_BaseElement2("xmltext", true, false), text_(std::move(text)) {
    setLineBreak(false);
}

KoHTML_text2::~KoHTML_text2() = default;

void KoHTML_text2::propagate(std::ostream& out) { out << text_; }

std::ostream& KoHTML_text2::write(std::ostream& out) {
    beforeWrite(out);
    out << text_;
    return out;
}

bool KoHTML_text2::isText() const { return true; }

void KoHTML_text2::appendText(const std::string& text) { text_ += text; }
