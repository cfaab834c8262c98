// HTML/CSS document model: the text node of an HTML tree.
//
// KoHTML_text2, named "xmltext", writes its text byte for byte: nothing is
// escaped, so a text may carry ready-made markup (the 404 page relies on it).
// It is a leaf with lineBreak off, so it stays on the line of its neighbours.
// propagate appends the text to the stream it is given, which lets a
// subtree's text be collected in document order.
//
// Threads: not synchronised, like every tree node.
// Failure: addChild throws KoException "child elements not allowed for
// xmltext"; nothing else fails.
#pragma once

#include <ostream>
#include <string>
#include <utility>

#include "html/html_base_element.h"

class KoHTML_text2 : public KoHTML_BaseElement2 {
public:
    KoHTML_text2();
    explicit KoHTML_text2(std::string text);
    ~KoHTML_text2() override;

    void propagate(std::ostream& out) override;
    std::ostream& write(std::ostream& out) override;
    bool isText() const override;
    virtual void appendText(const std::string& text);

    const std::string& text() const { return text_; }
    void setText(std::string text) { text_ = std::move(text); }

private:
    std::string text_;
};
