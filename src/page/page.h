/*
 * Monitor page: the fixed HTML document and its writer.
 */
#ifndef QV_PAGE_H
#define QV_PAGE_H

#include <stddef.h>

/* The document, assembled from the page sources and built into the binary. */
extern const char page_document[];
extern const size_t page_document_len;

/* Writes the monitor page response: the header block, then the document
 * with one write. */
void page_write(void);

#endif
