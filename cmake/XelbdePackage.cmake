# `make package`: two Debian packages made by CPack from the install
# components, installed under /usr:
#   xelbde      the Runtime component: xelcmd, bdesim, libxelbde.so.1, their
#               manual pages, the bash completion
#   xelbde-dev  the Development component: headers and copybook,
#               libxelbde.so and libxelbde.a, the CMake package, the
#               pkg-config file, xelbde(3), the examples
# Configure with -DCMAKE_INSTALL_PREFIX=/usr for the distribution's library
# directory (lib/x86_64-linux-gnu); other prefixes give lib/.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME xelbde)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "xelbde developers <xelbde@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL Runtime Development)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME xelbde)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
# Each package's description follows the summary from project().
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "xelcmd asks terminals for type, status, version, clock and memory, sets
their clocks, downloads and uploads files and lists the operations log;
bdesim simulates terminals and ISDN adapters; libxelbde is the terminal
API library that business applications (COBOL among them) call.
This package holds the programs and the shared library.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME xelbde-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "xelbde (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
    "The development files of libxelbde: the headers, the COBOL copybook,
the static library, the CMake package, the pkg-config file, the manual
page xelbde(3) and examples in C, COBOL and Python.")
include(CPack)
