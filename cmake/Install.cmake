# What a release engineer needs to make a bootstrapper of their own setup:
#   bin/                  the packaging tool, the setup-package tool, the LZMA
#                         tool and the PE wrapper
#   lib/vontaro/          the bootstrapper program before packaging, with the
#                         QuickLZ libraries beside it (its block-compressed
#                         container loads them from the program's folder)
#   share/vontaro/        the bootstrapper's manifest
#   include/vontaro/, lib/ the headers and static libraries an inner setup
#                         builds against to read its setup package
# Nothing refers to the prefix, so the tree can be moved.
include(GNUInstallDirs)
# Programs and libraries are installed without their debug information and
# symbols (CMake's strip on install), unless the installer says otherwise:
# configure with -DVT_INSTALL_STRIP=OFF, or install with
# "cmake -DCMAKE_INSTALL_DO_STRIP=0 -P cmake_install.cmake" (what a packager
# does who splits the debug information into a package of its own).
option(VT_INSTALL_STRIP "Install programs and libraries without debug information" ON)
if(VT_INSTALL_STRIP)
  install(CODE "if(NOT DEFINED CMAKE_INSTALL_DO_STRIP)\n  set(CMAKE_INSTALL_DO_STRIP 1)\nendif()")
endif()
set(VT_INSTALL_LIBEXEC ${CMAKE_INSTALL_LIBDIR}/vontaro)
install(TARGETS vtpack vt_make_setup_pak vt_lzma vt_pewrap RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS vt_install RUNTIME DESTINATION ${VT_INSTALL_LIBEXEC})
install(TARGETS vt_quicklz120 vt_quicklz131 LIBRARY DESTINATION ${VT_INSTALL_LIBEXEC})
install(FILES ${VT_INSTALL_MANIFEST} DESTINATION ${CMAKE_INSTALL_DATADIR}/vontaro)
# The setup packets and what they build on, for an inner setup that reads its
# package: headers keep their folder names ("bootstrapper/SetupPackets.h").
install(TARGETS vt_bootstrapper vt_common vt_platform ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/src/bootstrapper ${CMAKE_SOURCE_DIR}/src/common ${CMAKE_SOURCE_DIR}/src/platform
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vontaro FILES_MATCHING PATTERN "*.h"
        PATTERN "install" EXCLUDE)
