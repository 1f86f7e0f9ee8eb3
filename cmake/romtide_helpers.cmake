# romtide_fuzz_target(NAME SOURCES... LIBS ... CORPUS dir)
# With ROMTIDE_FUZZ the target is a libFuzzer program. Otherwise it is linked with a
# replay driver and registered with CTest, so every kept corpus input (crashes found
# earlier among them) is replayed by the ordinary test run.
function(romtide_fuzz_target name)
    cmake_parse_arguments(F "" "CORPUS" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${F_SOURCES})
    target_link_libraries(${name} PRIVATE ${F_LIBS})
    if(ROMTIDE_FUZZ)
        target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    else()
        target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/fuzz/replay_main.cpp)
        if(BUILD_TESTING)
            add_test(NAME ${name}.replay COMMAND ${name} ${F_CORPUS})
        endif()
    endif()
    set_property(GLOBAL APPEND PROPERTY ROMTIDE_FUZZ_TARGETS "${name}|${F_CORPUS}")
endfunction()

# romtide_install_program(TARGET): the program goes to bin/ and finds the tool's shared
# libraries relative to itself ($ORIGIN), so the installed tree can be moved as a whole.
function(romtide_install_program target)
    set_target_properties(${target} PROPERTIES INSTALL_RPATH
        "$ORIGIN/${ROMTIDE_BIN_TO_LIB};$ORIGIN/${ROMTIDE_BIN_TO_PKGLIB}")
    install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()
