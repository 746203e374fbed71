# A Debian package of the whole program: cpack -G DEB in the build directory.
set(CPACK_PACKAGE_NAME dovrax)
set(CPACK_PACKAGE_VENDOR "Velmora Technologies")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Bench tool for the DOV-RAX 8-bit digital I/O adapter")
set(CPACK_PACKAGE_DESCRIPTION
    "Reads and writes the adapter's input and output byte, shows the eight bits, logs every action, watches the adapter's interrupt and drives a host application on X11. Ships a virtual adapter (libmulvo.so.1 in a private directory, so that a maker's library of that name is not shadowed) with its control tool mulvo-sim.")
set(CPACK_PACKAGE_CONTACT "DOVRAX developers <dovrax@localhost>")
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt finds its display plugins at run time; nothing links them.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# The adapter libraries are the package's own, in a private directory that nothing links.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${DOVRAX_ADAPTER_BUILD_DIR})
# The window lookups and the fonts are used at run time without being linked.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wine, fonts-dejavu-core")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "xdotool")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
