#include "store/xml_file_reader.h"

#include <fstream>

#include "foundation/exception.h"
#include "reader/dtd_element_reader_stream.h"
#include "reader/read_tokens.h"
#include "reader/xml_content_splitter.h"
#include "xml/xml_generic_element.h"

namespace velko::store {

std::unique_ptr<KoXMLComplexElement> readXmlFile(const std::string& path, std::string& error) {
    // A file that cannot be opened reaches the reader as a failed stream,
    // which it reports as an error of its own.
    std::ifstream in(path, std::ios::binary);
    try {
        KoDTDElementReaderStream reader(in);
        KoXMLGenericElement* top = readTokens(reader.splitter, reader, "xml", false);
        // The reader stops quietly at the end of the input; a settings file
        // cut short must not pass for a complete one.
        if (reader.splitter.depth() != 0 && reader.splitter.current != nullptr) {
            error = "element '" + reader.splitter.current->name() +
                    "' not closed at the end of the input around line " +
                    std::to_string(reader.line);
            return nullptr;
        }
        for (KoXMLComplexElement* child : top->childNodes()) {
            if (child != nullptr && child->lineBreak()) return top->detachChild(child);
        }
        error = "no root element";
    } catch (const KoException& e) {
        error = e.what();
    } catch (const std::exception& e) {
        error = e.what();
    }
    return nullptr;
}

} // namespace velko::store
