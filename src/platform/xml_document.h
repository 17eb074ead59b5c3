// The library's XML documents: one family of functions that each perform one DOM operation
// behind opaque handles and plain wide strings, so command code never touches the DOM library.
//
// Handles (void*) name a document, an element or other node, or an attribute. Every handle a
// function returns belongs to the caller, who gives it back with JobDestroyDocument,
// JobDestroyElement or JobDestroyAttribute. A node or attribute handle keeps its document
// alive, so handles may be destroyed in any order. A function that takes a handle never takes
// it over. A null handle makes any function fail at once.
//
// Parsing never touches the network, never loads or expands external entities, and bounds
// entity expansion and text size. Saving writes a whole new file and renames it over the old.
//
// Used by one thread at a time per document; no function logs, throws or records an error.
#ifndef ORCHEL_PLATFORM_XML_DOCUMENT_H
#define ORCHEL_PLATFORM_XML_DOCUMENT_H

#include "orchel/wintypes.h"

// Documents.
void* JobCreateDocument();
void* JobCreateDocumentFromXML(const wchar_t* lpszXML);
void* JobCreateDocumentFromXMLStream(const wchar_t* in_XMLStream);
int JobDestroyDocument(void* hDocument);
void* JobGetDocumentElement(void* hDocument);
int JobSetDocumentElement(void* hDocument, void* hRootElement);
int JobSaveXMLDocument(void* hDocument, const wchar_t* SFileName);
int JobCreateProcessingInstruction(void* hDocument, const wchar_t* sInstruction,
                                   const wchar_t* sData);
// The first node that the selection expression matches, evaluated on a document or any node.
void* JobGetElement(void* hDocument, const wchar_t* pXPath);

// Elements. The value of an element is the value of its first text child; its element
// children are its child nodes of type element, in document order.
void* JobCreateElement(void* hDocument, const wchar_t* lpszElementName,
                       const wchar_t* lpszElementValue);
int JobDestroyElement(void* hElement);
// Buffer convention: *pdwBufferSizeInWCHARs holds the capacity (NUL included). When the value
// fits it is copied, the count becomes length+1 and the result is 1; when it does not fit,
// nothing is copied, the count becomes length+1 and the result is 0; in every other case the
// count becomes 0 and the result is 0.
int JobGetElementValue(void* hElement, wchar_t* pElementValueBuffer, DWORD* pdwBufferSizeInWCHARs);
int JobSetElementValue(void* hElement, const wchar_t* lpszElementValue);
int JobGetElementChildCount(void* hElement);  // -1 for a null handle or a failure
void* JobGetElementChild(void* hElement, int nIndex);
void* JobGetElementChildByName(void* hElement, const wchar_t* lpszChildElementName);
int JobAddElementChild(void* hElement, void* hChildElement);

// Attributes.
void* JobCreateAttribute(void* hDocument, const wchar_t* lpszAttributeName,
                         const wchar_t* lpszAttributeValue);
int JobDestroyAttribute(void* hAttribute);
int JobGetAttributeValue(void* hAttribute, wchar_t* pAttributeValueBuffer,
                         DWORD* pdwBufferSizeInWCHARs);
void* JobGetElementAttributeByName(void* hElement, const wchar_t* lpszAttributeName);
int JobAddElementAttribute(void* hElement, void* hAttribute);

#endif  // ORCHEL_PLATFORM_XML_DOCUMENT_H
