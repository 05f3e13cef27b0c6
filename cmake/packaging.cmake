# Linux: a Debian package, the plug-in and both companions side by side in
# bin, so that the plug-in finds the companions by name on the PATH.
# Windows: a zip, sglang-monitor-<version>-win64.zip, holding the plug-in,
# the metrics companion and INSTALL.txt at its top.
# mock-sglang is a test tool and has no install rule.
set(CPACK_PACKAGE_NAME "sglang-monitor")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "SGLang monitor plug-in with its tmux and metrics companions")
set(CPACK_PACKAGE_CONTACT "sglang-monitor developers")
if(WIN32)
  set(CPACK_GENERATOR "ZIP")
  set(CPACK_PACKAGE_FILE_NAME "sglang-monitor-${PROJECT_VERSION}-win64")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  # Notepad and the hosts' own tools read it: Windows line ends.
  configure_file(${CMAKE_CURRENT_LIST_DIR}/INSTALL-windows.txt
    ${CMAKE_CURRENT_BINARY_DIR}/INSTALL.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/INSTALL.txt DESTINATION .)
else()
  set(CPACK_GENERATOR "DEB")
  set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  # The companions link libcurl; dpkg-shlibdeps names the packages they need.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Sessions are listed through tmux; without it the list is empty.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "tmux")
endif()
include(CPack)
