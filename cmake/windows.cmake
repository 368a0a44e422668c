# Windows builds: every program and the DLL in one bin/ folder, as Windows
# finds a program's DLLs beside it, with the DLLs they need from elsewhere
# (Qt Core and, under MinGW-w64, its C++ runtime) copied in, so that the
# tests and vaskprobe run from the build tree (under wine when cross-built).
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)

# vask_copy_runtime_dlls(): at configure time, for running in the tree only
# (none of these is installed: a host brings its own Qt and runtime).
function(vask_copy_runtime_dlls)
  set(dlls)
  foreach(qt IN LISTS VASK_QT_LIBS)
    get_target_property(location ${qt} IMPORTED_LOCATION_RELEASE)
    if(NOT location)
      get_target_property(location ${qt} LOCATION)
    endif()
    list(APPEND dlls ${location})
  endforeach()
  if(MINGW)
    foreach(name libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
      execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${name}
        OUTPUT_VARIABLE location OUTPUT_STRIP_TRAILING_WHITESPACE)
      if(NOT IS_ABSOLUTE "${location}")
        # libwinpthread lives in the sysroot, not beside the compiler's files.
        find_file(location_${name} ${name} PATHS ${CMAKE_FIND_ROOT_PATH} PATH_SUFFIXES lib bin NO_DEFAULT_PATH)
        set(location ${location_${name}})
      endif()
      list(APPEND dlls ${location})
    endforeach()
  endif()
  foreach(dll IN LISTS dlls)
    if(EXISTS "${dll}")
      file(COPY ${dll} DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
    else()
      message(WARNING "runtime DLL not found: ${dll}; programs in the build tree may not start")
    endif()
  endforeach()
endfunction()
vask_copy_runtime_dlls()
