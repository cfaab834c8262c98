#include "reader/read_tokens.h"

#include <memory>
#include <set>
#include <utility>

#include "foundation/exception.h"
#include "reader/dtd_element_reader.h"
#include "xml/xml_generic_element.h"

namespace {

std::string aroundLine(const std::string& message, const KoDTDElementReader& reader) {
    if (message.find("around line") != std::string::npos) return message;
    return message + " around line " + std::to_string(reader.line);
}

class Driver {
public:
    Driver(KoXMLContentSplitter& splitter, KoDTDElementReader& reader)
        : s_(splitter), r_(reader) {}

    void run(bool stopAfterFirst) {
        if (!r_.hasPending() && !r_.isGood()) throw KoException("error in stream", 978, "src");
        bool processed = false;
        for (;;) {
            if (!r_.hasPending() && r_.atEnd()) break;
            if (processed && stopAfterFirst) break;
            KoDTD* grammar = r_.grammar(s_.grammarName);
            if (grammar == nullptr) {
                throw KoException("DTD '" + s_.grammarName + "' not defined", 986, "src");
            }
            std::unique_ptr<KoDTDElementRead> token = nextToken(*grammar);
            if (!token) {
                if (r_.hasPending() || !r_.atEnd()) throw KoException("reading error ", 1095, "src");
                break;
            }
            process(*token, grammar);
            processed = true;
        }
    }

private:
    // The first recogniser that matches, taken out of the grammar; a fresh
    // clone takes its place.
    std::unique_ptr<KoDTDElementRead> nextToken(KoDTD& grammar) {
        const std::set<std::string>* excluded = nullptr;
        auto found = grammar.exclusions.find(s_.current->name());
        if (found != grammar.exclusions.end()) excluded = &found->second;
        for (auto& [type, prototype] : grammar.readers) {
            if (excluded != nullptr && excluded->count(type) != 0) continue;
            if (prototype && prototype->read(r_) != nullptr) {
                std::unique_ptr<KoDTDElementRead> token = std::move(prototype);
                prototype = token->clone();
                return token;
            }
        }
        return nullptr;
    }

    void process(KoDTDElementRead& token, KoDTD* grammar) {
        if (s_.current != s_.top.get() && grammar->voidElements.count(s_.current->name()) != 0) {
            // A void element has no content: its own end tag ends it, any
            // other token already belongs to the parent.
            if (token.isCloser() && token.closes(s_.current->name())) {
                closeCurrent(token);
                return;
            }
            s_.current->closed();
            leaveCurrent();
            grammar = r_.grammar(s_.grammarName);
            if (grammar == nullptr) {
                throw KoException("DTD '" + s_.grammarName + "' not defined", 986, "src");
            }
        }
        if (token.isCloser()) {
            closeCurrent(token);
            return;
        }
        build(token, *grammar);
    }

    void closeCurrent(const KoDTDElementRead& token) {
        KoXMLComplexElement* current = s_.current;
        current->closed();
        if (current->parent() == nullptr || !token.closes(current->name())) {
            throw KoException("wrong closing tag '" + token.text + "' instead '/" + current->name() +
                                  "' around line " + std::to_string(r_.line),
                              1022, "src");
        }
        leaveCurrent();
    }

    // The parent becomes current, read with the grammar its content had.
    void leaveCurrent() {
        KoXMLComplexElement* parent = s_.current->parent();
        std::string grammarName;
        if (s_.grammarStack.size() > 1) {
            s_.grammarStack.pop_back();
            grammarName = s_.grammarStack.back();
        } else {
            grammarName = parent->contentDTD(std::string());
        }
        s_.current = parent;
        if (!grammarName.empty() && grammarName != s_.grammarName) s_.grammarName = grammarName;
    }

    void build(const KoDTDElementRead& token, KoDTD& grammar) {
        const std::string type = token.typeName;
        try {
            auto factory = grammar.factories.find(type);
            if (factory == grammar.factories.end() || !factory->second) {
                throw KoException("element type '" + type + "' not defined in DTD around line " +
                                      std::to_string(r_.line),
                                  1083, "src");
            }
            std::unique_ptr<KoXMLComplexElement> node = factory->second(token.text, grammar);
            if (!node || s_.current == nullptr) {
                throw KoException("problem in DTD with '" + type + "'", 1041, "src");
            }
            if (token.takesAttributes()) {
                if (auto* element = dynamic_cast<KoXMLGenericElement*>(node.get())) {
                    for (const KoReaderAttributeRecord& record : r_.attributeRecords) {
                        element->setAttribute(record.name, record.valueless ? "true" : record.value);
                    }
                }
            }
            const bool opens = !token.selfClosed && grammar.containers.count(type) != 0;
            // A void element is ended by the next token and never holds one.
            if (opens && s_.depth() >= r_.limits.maxNestingDepth &&
                grammar.voidElements.count(node->name()) == 0) {
                throw KoException("elements nested deeper than " +
                                      std::to_string(r_.limits.maxNestingDepth) + " levels",
                                  1041, "src");
            }
            KoXMLComplexElement* added = s_.current->adoptChild(std::move(node));
            if (!opens) {
                added->closed();
                return;
            }
            std::string content = added->contentDTD(s_.grammarName);
            if (content.empty()) content = s_.grammarName;
            s_.current = added;
            s_.grammarStack.push_back(content);
            if (content != s_.grammarName) s_.grammarName = content;
        } catch (const KoException& e) {
            throw KoException(aroundLine(e.message, r_), 1079, "src");
        } catch (...) {
            throw KoException("element type '" + type + "' not defined in DTD around line " +
                                  std::to_string(r_.line),
                              1083, "src");
        }
    }

    KoXMLContentSplitter& s_;
    KoDTDElementReader& r_;
};

}  // namespace

KoXMLGenericElement* readTokens(KoXMLContentSplitter& splitter, KoDTDElementReader& reader,
                                const std::string& grammarName, bool stopAfterFirst) {
    if (splitter.current == nullptr || !splitter.top) {
        throw KoException("missing topelement", 959, "src");
    }
    if (splitter.grammarName.empty()) {
        splitter.grammarName = grammarName;
        splitter.top->contentDTD(grammarName);
        if (splitter.grammarName.empty()) throw KoException("DTD can't be empty", 970, "src");
    }
    if (splitter.grammarStack.empty()) splitter.grammarStack.push_back(splitter.grammarName);
    try {
        Driver(splitter, reader).run(stopAfterFirst);
    } catch (const KoException& e) {
        throw KoException(aroundLine(e.message, reader), 1109, "src");
    } catch (...) {
        throw KoException("catched an error while processing input", 1113, "src");
    }
    return splitter.top.get();
}
