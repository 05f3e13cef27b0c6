# Turns the monitor page's sources into one byte array in the build tree.
# Sets QV_PAGE_DATA to the generated C++ source and QV_PAGE_DOC to the
# assembled document; nothing generated is kept in the source tree.
file(GLOB qv_page_sources CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_SOURCE_DIR}/src/page/*.html
  ${CMAKE_CURRENT_SOURCE_DIR}/src/page/*.css
  ${CMAKE_CURRENT_SOURCE_DIR}/src/page/*.js)
set(QV_PAGE_DATA ${CMAKE_CURRENT_BINARY_DIR}/page_data.cpp)
set(QV_PAGE_DOC ${CMAKE_CURRENT_BINARY_DIR}/page_document.html)
add_custom_command(
  OUTPUT ${QV_PAGE_DATA} ${QV_PAGE_DOC}
  COMMAND ${CMAKE_COMMAND} -DOUT=${QV_PAGE_DATA} -DDOC=${QV_PAGE_DOC}
          -DSRC_DIR=${CMAKE_CURRENT_SOURCE_DIR}/src/page
          -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/embed_page.cmake
  DEPENDS ${qv_page_sources} ${CMAKE_CURRENT_SOURCE_DIR}/cmake/embed_page.cmake
  COMMENT "Embedding the monitor page"
  VERBATIM)
