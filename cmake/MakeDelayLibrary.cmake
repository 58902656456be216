# cmake -DNM=<nm> -DDLLTOOL=<dlltool> -DIMPORT_LIBRARY=<lib.a> -DDLL_NAME=<name.dll> -DOUTPUT=<archive>
#       -P MakeDelayLibrary.cmake
# Reads the functions an import library offers (its defined text symbols), writes them to <archive>.def and
# makes <archive>, a delay-import library for the same DLL. Fails when the import library lists none.
foreach(variable NM DLLTOOL IMPORT_LIBRARY DLL_NAME OUTPUT)
    if(NOT ${variable})
        message(FATAL_ERROR "MakeDelayLibrary.cmake: ${variable} is not set")
    endif()
endforeach()

execute_process(COMMAND "${NM}" -g --defined-only "${IMPORT_LIBRARY}"
    OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${NM} could not read ${IMPORT_LIBRARY}")
endif()
# Each function has a thunk ("T name") beside its import slot ("I __imp_name"); exported data has only
# the slot and cannot be delay-loaded, so only the thunks are taken.
string(REGEX MATCHALL "[0-9a-fA-F]+ T [^\n]+" thunks "${symbols}")
set(exports "")
foreach(line IN LISTS thunks)
    string(REGEX REPLACE "^[0-9a-fA-F]+ T " "" name "${line}")
    string(APPEND exports "    ${name}\n")
endforeach()
if(exports STREQUAL "")
    message(FATAL_ERROR "${IMPORT_LIBRARY} lists no functions")
endif()

get_filename_component(folder "${OUTPUT}" DIRECTORY)
file(MAKE_DIRECTORY "${folder}")
file(WRITE "${OUTPUT}.def" "LIBRARY \"${DLL_NAME}\"\nEXPORTS\n${exports}")
file(REMOVE "${OUTPUT}")
execute_process(COMMAND "${DLLTOOL}" --input-def "${OUTPUT}.def" --dllname "${DLL_NAME}"
    --output-delaylib "${OUTPUT}" RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT EXISTS "${OUTPUT}")
    message(FATAL_ERROR "${DLLTOOL} could not make ${OUTPUT}")
endif()
