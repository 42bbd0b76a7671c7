# What `cmake --install` and the Debian package put on the system, besides the program itself
# (installed from src/): the menu entry, the icon, the software-centre metadata and the bundled
# demo application.
include(GNUInstallDirs)

set(_tarno_vesk_data ${PROJECT_SOURCE_DIR}/data)

install(FILES ${_tarno_vesk_data}/tarno-vesk.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${_tarno_vesk_data}/icons/tarno-vesk.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${_tarno_vesk_data}/com.quillmere.TarnoVesk.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
# The trailing slash installs the folder's content, not the folder itself.
install(DIRECTORY ${_tarno_vesk_data}/demo/
        DESTINATION ${CMAKE_INSTALL_DATADIR}/tarno-vesk/demo)

unset(_tarno_vesk_data)
