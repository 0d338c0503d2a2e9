# Crypto++ and TinyXML, built as static mingw-w64 libraries by scripts/setup into its cache folder.
if(NOT PELLUMAR_DEPS)
  if(DEFINED ENV{PELLUMAR_DEPS})
    set(PELLUMAR_DEPS $ENV{PELLUMAR_DEPS})
  else()
    set(PELLUMAR_DEPS $ENV{HOME}/.cache/pellumar-deps)
  endif()
endif()
set(PELLUMAR_DEPS ${PELLUMAR_DEPS} CACHE PATH "Folder of the built dependencies (scripts/setup)")

foreach(lib cryptopp tinyxml)
  if(NOT EXISTS ${PELLUMAR_DEPS}/${lib}/lib/lib${lib}.a)
    message(FATAL_ERROR "${lib} not found in ${PELLUMAR_DEPS}: run scripts/setup")
  endif()
endforeach()

add_library(cryptopp::cryptopp STATIC IMPORTED GLOBAL)
set_target_properties(cryptopp::cryptopp PROPERTIES
  IMPORTED_LOCATION ${PELLUMAR_DEPS}/cryptopp/lib/libcryptopp.a
  INTERFACE_INCLUDE_DIRECTORIES ${PELLUMAR_DEPS}/cryptopp/include
  INTERFACE_LINK_LIBRARIES "bcrypt;ws2_32")

add_library(tinyxml::tinyxml STATIC IMPORTED GLOBAL)
set_target_properties(tinyxml::tinyxml PROPERTIES
  IMPORTED_LOCATION ${PELLUMAR_DEPS}/tinyxml/lib/libtinyxml.a
  INTERFACE_INCLUDE_DIRECTORIES ${PELLUMAR_DEPS}/tinyxml/include
  INTERFACE_COMPILE_DEFINITIONS TIXML_USE_STL)
