# pellix_include_fragments(): includes every *.cmake file of the current folder. A folder can
# hold files of several subsystems; each subsystem lists its files in a fragment of its own
# (for example src/Util/card.cmake adds the card layer's utilities to pellix_card).
macro(pellix_include_fragments)
  file(GLOB _pellix_fragments CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cmake)
  list(SORT _pellix_fragments)
  foreach(_fragment ${_pellix_fragments})
    include(${_fragment})
  endforeach()
endmacro()

# pellix_add_subfolders(): adds every direct subfolder that has a CMakeLists.txt.
macro(pellix_add_subfolders)
  file(GLOB _pellix_children LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT _pellix_children)
  foreach(_child ${_pellix_children})
    if(IS_DIRECTORY ${_child} AND EXISTS ${_child}/CMakeLists.txt)
      add_subdirectory(${_child})
    endif()
  endforeach()
endmacro()
