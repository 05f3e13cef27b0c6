# Script mode: writes OUT, a C++ source defining page_response (the header
# block and the document) and page_response_len, from the files in SRC_DIR.
file(READ ${SRC_DIR}/monitor.html doc HEX)
set(header "Content-Type: text/html; charset=utf-8\r\nCache-Control: no-cache, no-store, must-revalidate\r\n\r\n")
string(HEX "${header}" header_hex)
set(hex "${header_hex}${doc}")
string(LENGTH "${hex}" hex_len)
math(EXPR len "${hex_len} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," body "${hex}")
file(WRITE ${OUT} "#include \"page/page.h\"\nextern const char page_response[] = {${body}0};\nextern const size_t page_response_len = ${len};\n")
