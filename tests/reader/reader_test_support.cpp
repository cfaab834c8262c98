#include "reader_test_support.h"

#include <iostream>
#include <sstream>

#include "foundation/exception.h"
#include "html/css_html_comment.h"
#include "html/css_media_query.h"
#include "html/css_property.h"
#include "html/css_rule.h"
#include "html/html_doctype.h"
#include "html/html_text.h"
#include "reader/dtd_element_reader_stream.h"
#include "reader/read_tokens.h"
#include "xml/xml_comment.h"
#include "xml/xml_generic_element.h"
#include "xml/xml_generic_text.h"
#include "xml/xml_generic_whitespace.h"
#include "xml/xml_proc_inst.h"

namespace reader_test {

SplitBuf::SplitBuf(std::string text, std::size_t split) : text_(std::move(text)), split_(split) {
    if (split_ > text_.size()) split_ = text_.size();
}

SplitBuf::int_type SplitBuf::underflow() {
    char* base = text_.data();
    if (piece_ == 0) {
        piece_ = 1;
        if (split_ > 0) {
            setg(base, base, base + split_);
            return traits_type::to_int_type(*gptr());
        }
    }
    if (piece_ == 1) {
        piece_ = 2;
        if (split_ < text_.size()) {
            setg(base + split_, base + split_, base + text_.size());
            return traits_type::to_int_type(*gptr());
        }
    }
    return traits_type::eof();
}

namespace {

std::string shown(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string dumpList(const KoXMLComplexElement* node) {
    std::string out;
    for (const KoXMLComplexElement* child : node->childNodes()) out += dump(child);
    return out;
}

}  // namespace

std::string dump(const KoXMLComplexElement* node) {
    if (node == nullptr) return "null";
    if (auto* n = dynamic_cast<const KoXMLGenericWhitespace*>(node)) return "ws(" + shown(n->text()) + ")";
    if (auto* n = dynamic_cast<const KoXMLGenericText*>(node)) return "text(" + shown(n->text()) + ")";
    if (auto* n = dynamic_cast<const KoHTML_text2*>(node)) return "text(" + shown(n->text()) + ")";
    if (auto* n = dynamic_cast<const KoXML_Comment2*>(node)) return "comment(" + shown(n->text()) + ")";
    if (auto* n = dynamic_cast<const KoXML_ProcInst2*>(node)) return "pi(" + shown(n->text()) + ")";
    if (auto* n = dynamic_cast<const KoHTML_Doctype2*>(node)) return "doctype(" + shown(n->text()) + ")";
    if (auto* n = dynamic_cast<const KoCSSProperty*>(node)) {
        return "prop(" + n->propertyName() + "=" + n->value() + ")";
    }
    if (auto* n = dynamic_cast<const KoCSSRule*>(node)) {
        return "rule(" + shown(n->selector()) + "){" + dumpList(node) + "}";
    }
    if (auto* n = dynamic_cast<const KoCSSMediaQuery*>(node)) {
        return "media(" + shown(n->query()) + "){" + dumpList(node) + "}";
    }
    if (dynamic_cast<const KoCSSHTMLComment*>(node) != nullptr) return "htmlcomment{" + dumpList(node) + "}";
    std::string out = node->name();
    if (auto* element = dynamic_cast<const KoXMLGenericElement*>(node)) {
        std::string attributes;
        for (const auto& [name, attribute] : element->attributes()) {
            if (!attribute || !attribute->isSet()) continue;
            std::ostringstream value;
            attribute->writeValue(value);
            attributes += (attributes.empty() ? "" : ",") + name + "=" + shown(value.str());
        }
        if (!attributes.empty()) out += "[" + attributes + "]";
    }
    return out + "{" + dumpList(node) + "}";
}

std::string dumpChildren(const KoXMLComplexElement* node) { return dumpList(node); }

Outcome readAll(const std::string& input, const std::string& grammar, std::size_t split,
                const KoReaderLimits& limits) {
    SplitBuf buf(input, split == std::string::npos ? input.size() : split);
    std::istream in(&buf);
    KoDTDElementReaderStream reader(in, limits);
    Outcome outcome;
    try {
        readTokens(reader.splitter, reader, grammar, false);
    } catch (const KoException& e) {
        outcome.error = e.what();
    }
    outcome.tree = dumpChildren(reader.splitter.top.get());
    outcome.line = reader.line;
    return outcome;
}

Outcome readAll(const std::string& input, const std::string& grammar, std::size_t split) {
    return readAll(input, grammar, split, KoReaderLimits{});
}

Outcome readStepwise(const std::string& input, const std::string& grammar) {
    std::istringstream in(input);
    KoDTDElementReaderStream reader(in);
    Outcome outcome;
    try {
        // Each call handles at most one token; a bound keeps a fault from
        // looping for ever.
        for (std::size_t i = 0; i <= input.size() + 1; ++i) {
            if (!reader.hasPending() && reader.atEnd()) break;
            readTokens(reader.splitter, reader, grammar, true);
        }
    } catch (const KoException& e) {
        outcome.error = e.what();
    }
    outcome.tree = dumpChildren(reader.splitter.top.get());
    outcome.line = reader.line;
    return outcome;
}

struct CerrCapture::Impl {
    std::ostringstream sink;
    std::streambuf* saved = nullptr;
};

CerrCapture::CerrCapture() : impl_(std::make_unique<Impl>()) {
    impl_->saved = std::cerr.rdbuf(impl_->sink.rdbuf());
}

CerrCapture::~CerrCapture() { std::cerr.rdbuf(impl_->saved); }

std::string CerrCapture::text() const { return impl_->sink.str(); }

}  // namespace reader_test
