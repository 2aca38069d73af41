# cmake -DNM=<nm> -DLIBRARY=<shared library> -P CheckExports.cmake
# The shared library exports the 40 entries of the file-cache interface and
# no other plain C function, and nothing of its internal file-cache and
# operating-system namespaces, so that a proxy library loaded beside it is
# never confused with its own implementation.
set(entries
  FCC_IsFCCEnabled FCC_Init FCC_Term FCC_SetLocale FCC_GetLastError FCC_RegisterTicket
  FCC_RegisterTickets FCC_UnRegisterTicket FCC_UnRegisterTickets FCC_DownloadFileFromPLM
  FCC_DownloadFilesFromPLM FCC_DownloadFileToLocation FCC_DownloadFilesToLocation
  FCC_UploadFileToPLM FCC_UploadFilesToPLM FCC_RollbackFileUploadedToPLM
  FCC_RollbackFilesUploadedToPLM FCC_OpenFile FCC_RefreshFileTicket FCC_FileSize
  FCC_GetSeekPointer FCC_SeekRelative FCC_SeekAbsolute FCC_ReadBytes FCC_ScheduleRange
  FCC_CloseFileHandlePointer FCC_Echo FCC_GetFileGUID FmsClearCache FmsErrorCode
  FmsClearLastError FmsDeltaMs FmsClock ThreadId FmsSleepMs GUIDLength synchronize
  endSynchronize FCCStartThread FCCTerminateThread)

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[0-9a-f]+ [TW] [A-Za-z][A-Za-z0-9_]*" plain "${symbols}")
set(exported "")
foreach(line IN LISTS plain)
  string(REGEX REPLACE "^[0-9a-f]+ [TW] " "" name "${line}")
  if(NOT name MATCHES "^_")
    list(APPEND exported ${name})
  endif()
endforeach()
list(SORT exported)
set(expected ${entries})
list(SORT expected)
if(NOT exported STREQUAL expected)
  message(FATAL_ERROR "plain C exports differ:\n  exported: ${exported}\n  expected: ${expected}")
endif()

execute_process(COMMAND ${NM} -DC --defined-only ${LIBRARY} OUTPUT_VARIABLE demangled)
string(REGEX MATCHALL "[^\n]*Quillomark::(Fcc|Platform::Os)::[^\n]*" internal "${demangled}")
if(internal)
  message(FATAL_ERROR "internal symbols exported:\n${internal}")
endif()
string(FIND "${demangled}" "Quillomark::Soa::Client::FccProxy::FccProxy()" proxy)
if(proxy EQUAL -1)
  message(FATAL_ERROR "FccProxy is not exported")
endif()
