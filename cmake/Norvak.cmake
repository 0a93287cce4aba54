# Every subsystem folder is one static library made of all its .cpp files
# (main.cpp excluded); globbing keeps parallel work from editing one list.
function(norvak_library name)
  file(GLOB _src CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER _src EXCLUDE REGEX "/main\\.cpp$")
  if(NOT _src)
    set(_src ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
  endif()
  add_library(${name} STATIC ${_src})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARGN} Boost::thread Boost::system Boost::date_time Threads::Threads)
endfunction()

# Each *_test.cpp in a test folder is its own executable and CTest entry, so a
# broken test file never hides the others.
function(norvak_tests)
  file(GLOB _tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  file(GLOB _support CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/support/*.cpp)
  get_filename_component(_dir ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  foreach(_t ${_tests})
    get_filename_component(_name ${_t} NAME_WE)
    set(_exe ${_dir}_${_name})
    add_executable(${_exe} ${_t} ${_support})
    target_include_directories(${_exe} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests ${PROJECT_SOURCE_DIR}/tests/support)
    target_link_libraries(${_exe} PRIVATE ${ARGN} GTest::gtest GTest::gtest_main GTest::gmock)
    target_compile_definitions(${_exe} PRIVATE
      NORVAK_BIN_DIR="${PROJECT_BINARY_DIR}"
      NORVAK_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
      NORVAK_CMAKE_COMMAND="${CMAKE_COMMAND}")
    add_test(NAME ${_exe} COMMAND ${_exe})
    set_tests_properties(${_exe} PROPERTIES TIMEOUT 300)
  endforeach()
endfunction()

# The configuration file that the monitor and norvak-monitor-ctl read unless
# told otherwise: the one of the prefix chosen at configure time
# (-DCMAKE_INSTALL_PREFIX), as the installed samples, unit and pages name it.
include(GNUInstallDirs)
set(NORVAK_DEFAULT_CONF "${CMAKE_INSTALL_FULL_SYSCONFDIR}/norvak/monitor.conf")
