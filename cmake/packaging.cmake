# A Debian package: the plug-in and both companions side by side in bin, so
# that the plug-in finds the companions by name on the PATH. mock-sglang is a
# test tool and has no install rule.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "sglang-monitor")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "SGLang monitor plug-in with its tmux and metrics companions")
set(CPACK_PACKAGE_CONTACT "sglang-monitor developers")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The companions link libcurl; dpkg-shlibdeps names the packages they need.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Sessions are listed through tmux; without it the list is empty.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "tmux")
include(CPack)
