// Public: velko::Page, an HTML page built in code with the library's HTML
// document model, for handlers that answer with a page:
//
//   velko::Page page;
//   page.title("Counter");
//   page.body().add("h1").text("Counter");
//   page.body().add("p").attribute("id", "value").text(server.expand("Now: [[counter]]"));
//   page.body().add("script").markup("document.title += '!';");
//   return velko::Answer::html(page.html());
//
// Elements are the HTML elements of the model's catalogue (every HTML tag);
// text() and attribute() escape what they are given (& < > " '), markup()
// puts its text in as it is. The page is written with a doctype line and
// one element per line; a script's content is wrapped in "<!--" and "//-->".
//
// Ownership: the page owns its elements; an Element is a handle into the
// page, valid while the page lives. Threads: a page is used by one thread
// at a time. Failures: add() throws KoException "unknown HTML element " +
// tag for a tag the catalogue does not know, and the model's KoException
// for a child an element does not take ("child elements not allowed for "
// + name: void elements such as br and img take none).
#pragma once

#include <memory>
#include <string>

#include "velkotwo/exception.h"
#include "velkotwo/export.h"

class KoHTML_Document2;
class KoXMLComplexElement;

namespace velko {

class VELKO_API Page {
public:
    // A handle to an element of a page.
    class VELKO_API Element {
    public:
        // A new child element; returns it.
        Element add(const std::string& tag);
        // Sets an attribute (value escaped); returns this element.
        Element& attribute(const std::string& name, const std::string& value);
        // Appends text, escaped.
        Element& text(const std::string& text);
        // Appends markup (or a script's or style's content) as it is.
        Element& markup(const std::string& markup);

    private:
        friend class Page;
        explicit Element(KoXMLComplexElement* node);
        KoXMLComplexElement* node;
    };

    Page();
    ~Page();
    Page(Page&& other) noexcept;
    Page& operator=(Page&& other) noexcept;
    Page(const Page&) = delete;
    Page& operator=(const Page&) = delete;

    Element head();
    Element body();
    // Sets the title element's text (escaped).
    Page& title(const std::string& text);
    // The written page.
    std::string html() const;

private:
    std::unique_ptr<KoHTML_Document2> document;
};

}  // namespace velko
