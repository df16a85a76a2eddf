# The keyboard_forms test: runs scripts/gen-keyboard-forms.py into OUT and
# compares every form with the committed one in FORMS, so a form edited by
# hand, or a table changed without regenerating, fails with the file's name.
#   cmake -DPYTHON=... -DGENERATOR=... -DFORMS=<keyboard dir> -DOUT=<scratch dir> -P checkforms.cmake
cmake_minimum_required(VERSION 3.16)

file(REMOVE_RECURSE "${OUT}")
file(MAKE_DIRECTORY "${OUT}")
execute_process(COMMAND "${PYTHON}" "${GENERATOR}" "${OUT}"
    RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${GENERATOR} failed: ${result}")
endif()

file(GLOB generated RELATIVE "${OUT}" "${OUT}/*.ui")
file(GLOB committed RELATIVE "${FORMS}" "${FORMS}/*.ui")
if(NOT generated)
    message(FATAL_ERROR "${GENERATOR} wrote no forms into ${OUT}")
endif()
set(problems "")
foreach(form IN LISTS generated)
    if(NOT form IN_LIST committed)
        list(APPEND problems "keyboard/${form} is generated but not committed")
        continue()
    endif()
    execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${OUT}/${form}" "${FORMS}/${form}"
        RESULT_VARIABLE differs)
    if(differs)
        list(APPEND problems "keyboard/${form} differs from the generator's ${OUT}/${form}")
    endif()
endforeach()
foreach(form IN LISTS committed)
    if(NOT form IN_LIST generated)
        list(APPEND problems "keyboard/${form} is not one the generator writes")
    endif()
endforeach()

if(problems)
    list(JOIN problems "\n  " text)
    message(FATAL_ERROR "The keyboard forms and scripts/gen-keyboard-forms.py disagree:\n  ${text}\n"
        "Regenerate with scripts/gen-keyboard-forms.py, or change its tables instead of the forms.")
endif()
list(LENGTH generated count)
message(STATUS "${count} keyboard forms match their generator")
