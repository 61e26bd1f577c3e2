# The board's Debian package (`make deb`, cpack -G DEB in the build folder):
# the arranger, the companion tool, the phone remote, the three services and the demo set-up,
# whose built files (`make demo-files`) must be there when it is packed.

# Packing installs only what is listed here; it need not build the tests.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

install(TARGETS veltrona veltrona-tool veltrona-remote RUNTIME DESTINATION bin)
install(PROGRAMS packaging/seed-working-directory DESTINATION lib/veltrona)
install(FILES packaging/veltrona.service packaging/veltrona-fluidsynth.service packaging/veltrona-remote.service
        DESTINATION lib/systemd/system)
install(FILES README.md DESTINATION share/doc/veltrona)

set(VTN_DEMO_DIR share/veltrona/demo)
install(FILES demo/config.txt demo/settings.json demo/vtn.cfg DESTINATION ${VTN_DEMO_DIR})
# The demo's styles are those built from its sources; whatever else lies in
# demo/Styles or demo/MIDI files (recordings of `make run`) stays out.
file(GLOB VTN_STYLE_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/demo/style-sources/*.json)
set(VTN_DEMO_STYLES)
foreach(source ${VTN_STYLE_SOURCES})
  get_filename_component(name ${source} NAME_WE)
  list(APPEND VTN_DEMO_STYLES demo/Styles/${name}.sty)
endforeach()
install(FILES ${VTN_DEMO_STYLES} DESTINATION ${VTN_DEMO_DIR}/Styles)
install(FILES ${VTN_STYLE_SOURCES} demo/style-sources/README.md DESTINATION ${VTN_DEMO_DIR}/style-sources)
install(DIRECTORY DESTINATION "${VTN_DEMO_DIR}/MIDI files")

set(VTN_PACKAGE_MAINTAINER "Veltrona Live developers <veltrona@localhost>" CACHE STRING
    "The Maintainer field of the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME veltrona)
set(CPACK_PACKAGE_VERSION 1.0.0)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "real-time MIDI arranger for small Linux boards")
set(CPACK_PACKAGE_DESCRIPTION "Veltrona Live listens to the chords of a MIDI keyboard and plays a whole
accompaniment band from Yamaha-format style files to a MIDI sound generator,
with voice layers and harmony for the right hand. The service veltrona starts
it at boot with the demo set-up; veltrona-fluidsynth starts FluidSynth as its
sound generator; veltrona-remote serves a page to a phone on the local network
that shows what the arranger plays and works it.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VTN_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fluidsynth, fluid-soundfont-gm | sf2-soundfont-gm, alsa-utils")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "vmpk")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
