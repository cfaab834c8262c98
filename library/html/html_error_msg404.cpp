#include "html/html_error_msg404.h"

#include <memory>

#include "html/html_custom_elements.h"
#include "html/html_elements.h"
#include "html/html_text.h"

KoHTML_ErrorMsg404::KoHTML_ErrorMsg404(const std::string& title, const std::string& bodyMarkup,
                                       const std::string& linkHref, const std::string& linkText) {
    head()->adoptChild(std::make_unique<KoHTML_title2>(title));
    KoXMLGenericElement* pageBody = body();
    pageBody->adoptChild(std::make_unique<KoHTML_text2>(bodyMarkup));
    pageBody->adoptChild(std::make_unique<KoHTML_br2>());
    pageBody->adoptChild(std::make_unique<KoHTML_a2>(linkHref, linkText));
}

KoHTML_ErrorMsg404::~KoHTML_ErrorMsg404() = default;
