/*
 * The monitor page writer.
 */
#include "page/page.h"
#include "util/util.h"

void page_write(void)
{
	out_write(page_response, page_response_len);
}
