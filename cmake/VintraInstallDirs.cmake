# Where an installed Vintra lives. The program finds its default sounds in a sounds/ folder beside
# its own real path, so the executable and that folder share a private folder, and the bin/
# folder only holds a relative link to the executable.
include(GNUInstallDirs)

# Not CMAKE_INSTALL_LIBDIR: on Debian that is the multiarch library folder, and this folder holds
# no libraries, only the program and its data.
# On Windows the program's folder is the installation folder itself.
if(WIN32)
  set(vintra_default_pkgdir ".")
else()
  set(vintra_default_pkgdir "lib/vintra")
endif()
set(VINTRA_INSTALL_PKGDIR "${vintra_default_pkgdir}" CACHE STRING
    "Folder, relative to the install prefix, that holds the executable and its sounds/ folder")
if(IS_ABSOLUTE "${VINTRA_INSTALL_PKGDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
  message(FATAL_ERROR "VINTRA_INSTALL_PKGDIR and CMAKE_INSTALL_BINDIR must be relative to the prefix, "
                      "so that bin/vintra can be a relative link")
endif()
