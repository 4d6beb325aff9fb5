# What an installation holds beside the two programs, and the Debian package
# made of it by `cpack -G DEB` in the build directory. The programs install
# from their own directories; apart from them only the desktop entry, its
# icons, the manual pages, melvix-module's bash completion and the package's
# changelog are installed, never a library, header or test.

set(melvix_package_dir ${PROJECT_BINARY_DIR}/packaging)

# The desktop icon is the window's own 16x16 drawing, enlarged by whole pixels
# to the sizes desktops look for.
set(melvix_icon_sizes 16 32 48 64 128 256)
add_executable(icon_sizes ${CMAKE_CURRENT_LIST_DIR}/icon_sizes.cpp)
target_include_directories(icon_sizes PRIVATE ${PROJECT_SOURCE_DIR}/window)
target_link_libraries(icon_sizes PRIVATE Qt6::Gui)
set_target_properties(icon_sizes PROPERTIES AUTOMOC OFF RUNTIME_OUTPUT_DIRECTORY ${melvix_package_dir})
melvix_target_defaults(icon_sizes)

set(melvix_icons)
foreach(size IN LISTS melvix_icon_sizes)
    list(APPEND melvix_icons ${melvix_package_dir}/icons/${size}x${size}/apps/melvix-programmer.png)
endforeach()
add_custom_command(OUTPUT ${melvix_icons}
    COMMAND icon_sizes ${melvix_package_dir}/icons ${melvix_icon_sizes}
    DEPENDS icon_sizes
    COMMENT "Drawing the desktop icons"
    VERBATIM)

# Debian keeps manual pages compressed; -n leaves the time and name out, so
# the same page always compresses to the same bytes.
find_program(MELVIX_GZIP gzip REQUIRED)
set(melvix_man_pages)
foreach(program IN ITEMS melvix-programmer melvix-module modulesim)
    set(page ${melvix_package_dir}/man/${program}.1)
    add_custom_command(OUTPUT ${page}.gz
        COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_LIST_DIR}/${program}.1 ${page}
        COMMAND ${MELVIX_GZIP} -9nf ${page}
        DEPENDS ${CMAKE_CURRENT_LIST_DIR}/${program}.1
        VERBATIM)
    list(APPEND melvix_man_pages ${page}.gz)
endforeach()

# The package's changelog, which Debian keeps beside its documentation. The
# version is a native one (no Debian revision), so its name is changelog.gz.
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${melvix_package_dir}/changelog @ONLY)
add_custom_command(OUTPUT ${melvix_package_dir}/changelog.gz
    COMMAND ${MELVIX_GZIP} -9nkf ${melvix_package_dir}/changelog
    DEPENDS ${melvix_package_dir}/changelog
    VERBATIM)

add_custom_target(package_files ALL
    DEPENDS ${melvix_icons} ${melvix_man_pages} ${melvix_package_dir}/changelog.gz)

install(FILES ${CMAKE_CURRENT_LIST_DIR}/melvix-programmer.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
foreach(size IN LISTS melvix_icon_sizes)
    install(FILES ${melvix_package_dir}/icons/${size}x${size}/apps/melvix-programmer.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES ${melvix_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# Where bash-completion looks for a command's completion when it is first used.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/melvix-module.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
    RENAME melvix-module)
install(FILES ${melvix_package_dir}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/melvix-programmer)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME melvix-programmer)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "programmer for Melvix radio modules on a serial line")
set(CPACK_PACKAGE_DESCRIPTION
    "A desktop tool that finds a Melvix radio module on the serial ports COM1 to
COM21 (RS-232 or USB-serial adapters), reads its radio channel and address,
writes a new channel and reads it back. Includes modulesim, a simulated module
on a pseudo-terminal for trying the programmer without hardware, and
melvix-module, the same sequences from the command line.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${MELVIX_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# <name>_<version>_<architecture>.deb, as Debian names its packages.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The dependencies are read off the programs' shared libraries by
# dpkg-shlibdeps, so the Qt runtime comes with the package on any Debian.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
