/*
 * Monitor page: the fixed HTML document and its writer.
 */
#ifndef QV_PAGE_H
#define QV_PAGE_H

#include <stddef.h>

/* The whole response: header block and document, built into the binary. */
extern const char page_response[];
extern const size_t page_response_len;

/* Writes the monitor page response with one write. */
void page_write(void);

#endif
