# What a user gets: the install rules (`cmake --install`) and the packages CPack makes from
# them, a .deb on Linux and a .zip on Windows (scripts/package.sh builds both).
#
# Everything a user needs is in the one install component `orvette`, and CPack packs only
# that component: install rules a dependency might bring along (a bundled test framework, say)
# never reach a package. Test programs, test libraries and orvette_lib have no install rules.
include(GNUInstallDirs)

set(ORVETTE_PACKAGE_MAINTAINER
    "Orvette maintainers <maintainers@users.noreply.c-seed-10f5e97e.example>"
    CACHE STRING "The packages' maintainer, \"Name <address>\"")

# The report tool: a launcher and its Python package. It finds the package relative to
# itself, at ../share/orvette/python/ once installed, so those two places go together.
set(orvette_report_launcher "${PROJECT_SOURCE_DIR}/tools/orvette-report")
set(orvette_report_package "${PROJECT_SOURCE_DIR}/tools/report/orvette_report")
set(orvette_with_report OFF)
if(NOT WIN32 AND EXISTS "${orvette_report_launcher}" AND IS_DIRECTORY "${orvette_report_package}")
  set(orvette_with_report ON)
endif()

# Windows: the program at the top of the zip, the examples and docs in folders beside it.
# Elsewhere the usual places; examples go with the documentation as Debian has them, which
# also keeps the README's and the docs' relative links (docs/..., ../examples/...) working.
if(WIN32)
  set(orvette_bin_dir .)
  set(orvette_doc_dir .)
  set(orvette_examples_dir examples)
else()
  set(orvette_bin_dir "${CMAKE_INSTALL_BINDIR}")
  set(orvette_doc_dir "${CMAKE_INSTALL_DOCDIR}")
  set(orvette_examples_dir "${CMAKE_INSTALL_DOCDIR}/examples")
endif()
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS orvette RUNTIME DESTINATION "${orvette_bin_dir}" COMPONENT orvette)
install(FILES README.md DESTINATION "${orvette_doc_dir}" COMPONENT orvette)
# Matched when installing, not when configuring: a page or figure added later goes in
# without a new cmake run.
install(DIRECTORY docs/ DESTINATION "${orvette_doc_dir}/docs" COMPONENT orvette
        FILES_MATCHING PATTERN "*.md" PATTERN "*.png" PATTERN "*.svg" PATTERN "*.jpg")
install(DIRECTORY examples/ DESTINATION "${orvette_examples_dir}" COMPONENT orvette
        FILES_MATCHING PATTERN "*.json")
if(orvette_with_report)
  install(PROGRAMS "${orvette_report_launcher}" DESTINATION "${CMAKE_INSTALL_BINDIR}"
          COMPONENT orvette)
  install(DIRECTORY "${orvette_report_package}"
          DESTINATION "${CMAKE_INSTALL_DATADIR}/orvette/python" COMPONENT orvette
          PATTERN "__pycache__" EXCLUDE PATTERN "*.pyc" EXCLUDE PATTERN "tests" EXCLUDE)
endif()

# CPack: one package of the `orvette` component, its programs stripped.
set(CPACK_PACKAGE_NAME orvette)
set(CPACK_PACKAGE_VENDOR "Orvette maintainers")
set(CPACK_PACKAGE_CONTACT "${ORVETTE_PACKAGE_MAINTAINER}")
# Lines kept short: dpkg shows the long description as written.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Orvette drives a Bluetooth Low Energy dongle as a central: it scans,\n"
       "connects to the phones that advertise the service UUIDs it is given, learns\n"
       "their GATT databases, keeps every link busy with reads and challenge/response\n"
       "exchanges, and logs what it learns and every failure it meets. It reaches\n"
       "real radio through its own HCI host stack (the Linux HCI user channel or an\n"
       "HCI-over-UART controller) and comes with a simulated dongle and phones.")
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};orvette;/")
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# The shared libraries' packages come from dpkg-shlibdeps; the report tool's needs are added.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(orvette_with_report)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3, python3-matplotlib")
endif()

include(CPack)
