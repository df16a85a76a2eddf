# The format_check test: every source of the product is as clang-format
# leaves it under the repository's .clang-format, so a change that drifts
# from the house style fails with the files' names.
#   cmake -DCLANG_FORMAT=... -DSOURCE_DIR=<repository> -P checkformat.cmake
cmake_minimum_required(VERSION 3.16)

set(sources "")
foreach(area app db installer keyboard shared tools ui)
    file(GLOB_RECURSE found "${SOURCE_DIR}/${area}/*.cpp" "${SOURCE_DIR}/${area}/*.h" "${SOURCE_DIR}/${area}/*.c")
    list(APPEND sources ${found})
endforeach()
list(SORT sources)
if(NOT sources)
    message(FATAL_ERROR "no sources found below ${SOURCE_DIR}")
endif()

set(unformatted "")
foreach(source IN LISTS sources)
    execute_process(COMMAND "${CLANG_FORMAT}" --style=file --dry-run --Werror "${source}"
        WORKING_DIRECTORY "${SOURCE_DIR}"
        RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET)
    if(NOT result EQUAL 0)
        file(RELATIVE_PATH name "${SOURCE_DIR}" "${source}")
        list(APPEND unformatted "${name}")
    endif()
endforeach()

if(unformatted)
    list(JOIN unformatted "\n  " text)
    message(FATAL_ERROR "Not formatted as .clang-format says:\n  ${text}\n"
        "Run: clang-format -i <file>")
endif()
list(LENGTH sources count)
message(STATUS "${count} sources formatted as .clang-format says")
