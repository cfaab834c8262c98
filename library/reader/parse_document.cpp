#include "reader/parse_document.h"

#include "foundation/exception.h"
#include "reader/dtd_element_reader_stream.h"
#include "reader/read_tokens.h"
#include "xml/xml_generic_element.h"

std::unique_ptr<KoXMLComplexElement> parseDocument(std::istream& in, const std::string& grammarName,
                                                   std::string& errorText,
                                                   KoReaderLimits limits) {
    try {
        KoDTDElementReaderStream reader(in, limits);
        KoXMLGenericElement* top = readTokens(reader.splitter, reader, grammarName, false);
        for (KoXMLComplexElement* child : top->childNodes()) {
            if (child != nullptr && child->lineBreak()) return top->detachChild(child);
        }
        return nullptr;
    } catch (const KoException& e) {
        errorText = e.what();
        return nullptr;
    } catch (...) {
        return nullptr;
    }
}
