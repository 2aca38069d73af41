# cmake -DSTUB=<...SK.cc> -DTYPES=<...DynSK.cc> -P KeepForGood.cmake
# The two namespace-scope objects that omniidl generates with exit-time
# destructors are kept for good instead, each made where it was from a new
# that nothing deletes: the proxy-object factory, whose destructor takes it
# off omniORB's list (a thread that made a gateway reference as the process
# exited aborted), and the type-code tracker, whose destructor frees the
# gateway's type codes under threads that may still use them.
function(keep_for_good file declaration replacement)
  file(READ ${file} text)
  string(FIND "${text}" "${declaration}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${file} does not hold \"${declaration}\"")
  endif()
  string(REPLACE "${declaration}" "${replacement}" text "${text}")
  file(WRITE ${file} "${text}")
endfunction()

keep_for_good(${STUB}
  "const _pof_QmCorbaServiceGateway _the_pof_QmCorbaServiceGateway;"
  "[[maybe_unused]] static const _pof_QmCorbaServiceGateway& _the_pof_QmCorbaServiceGateway = *new _pof_QmCorbaServiceGateway;")
keep_for_good(${TYPES}
  "static ::CORBA::TypeCode::_Tracker _0RL_tcTrack(__FILE__);"
  "static ::CORBA::TypeCode::_Tracker& _0RL_tcTrack = *new ::CORBA::TypeCode::_Tracker(__FILE__);")
