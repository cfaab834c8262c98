#include "xml/xml_element_observer.h"

KoXMLElementObserver::~KoXMLElementObserver() = default;
