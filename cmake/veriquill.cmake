# vq_library(NAME DIR [QT] DEPS ...): one static library per folder, sources globbed so that
# adding a file needs no CMake edit. The DEPS list states who may use whom.
function(vq_library name dir)
    cmake_parse_arguments(ARG "QT" "" "DEPS" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.h)
    list(FILTER sources EXCLUDE REGEX "\\.h$")
    if(sources)
        file(GLOB headers CONFIGURE_DEPENDS ${dir}/*.h)
        add_library(${name} STATIC ${sources} ${headers})
        target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE vq_warnings)
        if(ARG_QT)
            set_target_properties(${name} PROPERTIES AUTOMOC ON)
        endif()
    else()
        # Header-only until its first source file lands.
        add_library(${name} INTERFACE)
        target_link_libraries(${name} INTERFACE ${ARG_DEPS})
    endif()
endfunction()

# vq_test(NAME DIR DEPS ...): one GoogleTest executable per test folder.
function(vq_test name dir)
    cmake_parse_arguments(ARG "QT" "" "DEPS" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
    if(NOT sources)
        return()
    endif()
    file(GLOB headers CONFIGURE_DEPENDS ${dir}/*.h)
    add_executable(${name} ${sources} ${headers})
    if(ARG_QT)
        set_target_properties(${name} PROPERTIES AUTOMOC ON)
    endif()
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} vq_test_paths vq_warnings GTest::gtest GTest::gtest_main
                                          GTest::gmock)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
                         PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()

# vq_test_doubles(): the loadable test doubles (tests/fakes), which tests and benchmarks load
# through the production loader by the paths vq_test_paths names. Made once per build.
function(vq_test_doubles)
    foreach(fake fake_winscard fake_pkcs11)
        if(TARGET ${fake})
            continue()
        endif()
        add_library(${fake} MODULE ${PROJECT_SOURCE_DIR}/tests/fakes/${fake}.cpp)
        set_target_properties(${fake} PROPERTIES CXX_VISIBILITY_PRESET hidden)
        target_include_directories(${fake} PRIVATE ${PROJECT_SOURCE_DIR})
        target_include_directories(${fake} SYSTEM PRIVATE ${PCSCLITE_INCLUDE_DIRS})
        target_link_libraries(${fake} PRIVATE PkgConfig::P11KIT ${CMAKE_DL_LIBS} vq_warnings)
    endforeach()
endfunction()

# vq_test_paths(): the one unit that knows where this checkout, its build tree, the test doubles
# and the programs are (tests/support/test_paths.h). Every other test object is then the same in
# every checkout, so the compiler cache shares it between builders.
function(vq_test_paths)
    if(TARGET vq_test_paths)
        return()
    endif()
    vq_test_doubles()
    add_library(vq_test_paths STATIC ${PROJECT_SOURCE_DIR}/tests/support/test_paths.cpp)
    target_link_libraries(vq_test_paths PRIVATE vq_warnings)
    target_compile_definitions(vq_test_paths PRIVATE
        VQ_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
        VQ_BINARY_DIR="${PROJECT_BINARY_DIR}"
        VQ_FAKE_WINSCARD="$<TARGET_FILE:fake_winscard>"
        VQ_FAKE_PKCS11="$<TARGET_FILE:fake_pkcs11>"
        VQ_WINSCARD_STANDIN="$<TARGET_FILE:vq_winscard>"
        VQ_HOST_EXE="$<TARGET_FILE:veriquill>"
        VQ_NM_HOST="$<TARGET_FILE:veriquill-nm>")
endfunction()
