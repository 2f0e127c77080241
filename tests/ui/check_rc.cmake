# Compiles the Windows resource script with a cross resource compiler, reads
# the result back as text and checks that the icon group and the version block
# came through. Run with -DWINDRES= -DCPP= -DRC= -DOUT=.
get_filename_component(rc_dir "${RC}" DIRECTORY)
execute_process(
  COMMAND "${WINDRES}" --preprocessor=${CPP} --preprocessor-arg=-E --preprocessor-arg=-xc
          --preprocessor-arg=-DRC_INVOKED -I "${rc_dir}" -i "${RC}" -O res -o "${OUT}.res"
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the resource script does not compile")
endif()
execute_process(COMMAND "${WINDRES}" -J res -i "${OUT}.res" -O rc -o "${OUT}.rc"
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the compiled resources cannot be read back")
endif()
file(READ "${OUT}.rc" text)
foreach(
  expected
  "\"IDI_ICON1\" 14 /\\* RT_GROUP_ICON"
  "Has 6 elements"
  "FILEVERSION 1, 0, 0, 0"
  "PRODUCTVERSION 1, 0, 0, 0"
  "BLOCK \"040904B0\""
  "VALUE \"FileDescription\", \"Software for Neurask\""
  "VALUE \"FileVersion\", \"1.0.0.0\""
  "VALUE \"OriginalFilename\", \"Neurask.exe\""
  "VALUE \"ProductName\", \"Neurask\""
  "VALUE \"ProductVersion\", \"1.0.0.0\""
  "VALUE \"Translation\", 0x409, 1200")
  if(NOT text MATCHES "${expected}")
    message(FATAL_ERROR "compiled resources lack: ${expected}")
  endif()
endforeach()
if(text MATCHES "RT_MANIFEST")
  message(FATAL_ERROR "the resources carry a manifest")
endif()
