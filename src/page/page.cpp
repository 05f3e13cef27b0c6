/*
 * The monitor page writer.
 */
#include "page/page.h"
#include "util/util.h"

void page_write(void)
{
	out_header(NULL, OUT_HTML);
	out_write(page_document, page_document_len);
}
