# The desktop entry, the AppStream metainfo and the icon, made at build time
# from the program's version data (src/ui/version.cmake) and its icon
# (src/ui/icon.cpp), into BUILD/packaging/desktop. Included by src/ui.
set(KORRIN_APPSTREAM_ID invalid.korrin_hid.korrin_hid)
set(KORRIN_DESKTOP_ID ${KORRIN_APPSTREAM_ID}.desktop)
set(KORRIN_ICON_NAME korrin-hid)
set(KORRIN_ICON_SIZES 16 32 48 64)
# The version data carries no date; the release is dated when it is built
# (SOURCE_DATE_EPOCH, when set, makes that reproducible).
string(TIMESTAMP KORRIN_RELEASE_DATE "%Y-%m-%d" UTC)
set(desktop_src ${PROJECT_SOURCE_DIR}/packaging/desktop)
set(desktop_out ${CMAKE_BINARY_DIR}/packaging/desktop)
file(MAKE_DIRECTORY ${desktop_out})

configure_file(${desktop_src}/korrin-hid.desktop.in ${desktop_out}/${KORRIN_DESKTOP_ID} @ONLY)
configure_file(${desktop_src}/korrin-hid.metainfo.xml.in ${desktop_out}/${KORRIN_APPSTREAM_ID}.metainfo.xml @ONLY)

add_executable(korrin-icon-export ${desktop_src}/icon_export.cpp ${PROJECT_SOURCE_DIR}/src/ui/icon.cpp)
target_include_directories(korrin-icon-export PRIVATE ${PROJECT_SOURCE_DIR}/src ${CMAKE_CURRENT_BINARY_DIR}/generated)
target_link_libraries(korrin-icon-export PRIVATE ZLIB::ZLIB)
set_target_properties(korrin-icon-export PROPERTIES AUTOMOC OFF)

set(icon_files)
foreach(size IN LISTS KORRIN_ICON_SIZES)
  list(APPEND icon_files ${desktop_out}/${KORRIN_ICON_NAME}-${size}.png)
endforeach()
add_custom_command(OUTPUT ${icon_files}
  COMMAND korrin-icon-export ${desktop_out} ${KORRIN_ICON_NAME} ${KORRIN_ICON_SIZES}
  DEPENDS korrin-icon-export
  COMMENT "Drawing the program's icon for the desktop")
add_custom_target(korrin_desktop_files ALL DEPENDS ${icon_files})

install(FILES ${desktop_out}/${KORRIN_DESKTOP_ID} DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT korrin)
install(FILES ${desktop_out}/${KORRIN_APPSTREAM_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
        COMPONENT korrin)
foreach(size IN LISTS KORRIN_ICON_SIZES)
  install(FILES ${desktop_out}/${KORRIN_ICON_NAME}-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME ${KORRIN_ICON_NAME}.png
          COMPONENT korrin)
endforeach()
# Tells packaging/ that these are installed already.
set(KORRIN_DESKTOP_INSTALLED ON CACHE INTERNAL "The desktop files install themselves")
set(KORRIN_DESKTOP_DIR ${desktop_out} CACHE INTERNAL "Where the desktop files are made")
