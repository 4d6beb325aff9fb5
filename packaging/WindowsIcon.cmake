# The program's icon on Windows, drawn by icon_sizes from the window's drawing
# as the Debian package's icons are: melvix-programmer.exe carries it as a
# resource, which Explorer, the taskbar and the Start menu's shortcut show,
# and the installer takes the icon file for Add/Remove Programs
# (tools/windows/msi.sh). icon_sizes runs on the build machine, so it is built
# for it, as the project in packaging/host.

include(ExternalProject)
set(melvix_host_tools ${PROJECT_BINARY_DIR}/host-tools)
ExternalProject_Add(host_tools
    SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/host
    BINARY_DIR ${melvix_host_tools}
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH=${QT_HOST_PATH}
        -DMELVIX_WERROR=${MELVIX_WERROR}
    # Its own build decides whether icon_sizes changed.
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${melvix_host_tools}/icon_sizes
    INSTALL_COMMAND "")

# The sizes Windows shows: small and large icons, the Start menu's tiles and
# Explorer's largest view.
set(MELVIX_WINDOWS_ICON ${PROJECT_BINARY_DIR}/packaging/melvix-programmer.ico)
add_custom_command(OUTPUT ${MELVIX_WINDOWS_ICON}
    COMMAND ${melvix_host_tools}/icon_sizes --ico ${MELVIX_WINDOWS_ICON} 16 32 48 256
    DEPENDS ${melvix_host_tools}/icon_sizes
    COMMENT "Drawing the Windows icon"
    VERBATIM)
add_custom_target(windows_icon DEPENDS ${MELVIX_WINDOWS_ICON})

# The first icon of a program is the one Windows shows for it.
enable_language(RC)
set(melvix_icon_resource ${PROJECT_BINARY_DIR}/packaging/melvix-programmer.rc)
file(CONFIGURE OUTPUT ${melvix_icon_resource} CONTENT [[
1 ICON "@MELVIX_WINDOWS_ICON@"
]] @ONLY)
set_source_files_properties(${melvix_icon_resource} PROPERTIES OBJECT_DEPENDS ${MELVIX_WINDOWS_ICON})
target_sources(melvix-programmer PRIVATE ${melvix_icon_resource})
add_dependencies(melvix-programmer windows_icon)
