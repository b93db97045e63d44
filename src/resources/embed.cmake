# Embeds the resources listed in vyra.rc into the core library where the platform has no
# resource sections: RCDATA files byte for byte, the string table as Win32 string blocks
# (16 entries, each a 16-bit unit count and its UTF-16LE units).
# Included by the top-level CMakeLists to set up the rule; run with -P to generate.
if(CMAKE_SCRIPT_MODE_FILE)
  get_filename_component(rc_dir "${RC}" DIRECTORY)
  get_filename_component(src_dir "${rc_dir}" DIRECTORY)
  file(STRINGS "${RC}" rc_lines)
  set(body "")
  set(entries "")
  set(blocks "")
  set(in_table OFF)
  foreach(line IN LISTS rc_lines)
    if(line MATCHES "^[ \t]*([0-9]+)[ \t]+RCDATA[ \t]+\"([^\"]+)\"")
      set(id ${CMAKE_MATCH_1})
      file(READ "${src_dir}/${CMAKE_MATCH_2}" hex HEX)
      string(LENGTH "${hex}" hexlen)
      math(EXPR size "${hexlen} / 2")
      string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
      string(APPEND body "alignas(2) const unsigned char kRcData${id}[] = {${bytes}0};\n")
      string(APPEND entries "    {10, ${id}, kRcData${id}, ${size}},\n")
    elseif(line MATCHES "^[ \t]*STRINGTABLE")
      set(in_table ON)
    elseif(in_table AND line MATCHES "^[ \t]*END[ \t]*$")
      set(in_table OFF)
    elseif(in_table AND line MATCHES "^[ \t]*([0-9]+)[ \t]*,[ \t]*\"(.*)\"[ \t]*$")
      set(id ${CMAKE_MATCH_1})
      string(REPLACE "\"\"" "\"" text "${CMAKE_MATCH_2}")
      if(NOT text MATCHES "^[ -~]*$")
        message(FATAL_ERROR "string ${id}: only printable ASCII is embedded")
      endif()
      math(EXPR block "${id} / 16 + 1")
      math(EXPR index "${id} % 16")
      set(str_${block}_${index} "${text}")
      list(APPEND blocks ${block})
    endif()
  endforeach()
  if(blocks)
    list(REMOVE_DUPLICATES blocks)
  endif()
  foreach(block IN LISTS blocks)
    set(bytes "")
    set(size 0)
    foreach(index RANGE 15)
      set(n 0)
      set(units "")
      if(DEFINED str_${block}_${index})
        string(LENGTH "${str_${block}_${index}}" n)
        string(HEX "${str_${block}_${index}}" h)
        string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1,0x00," units "${h}")
      endif()
      math(EXPR lo "${n} % 256")
      math(EXPR hi "${n} / 256")
      string(APPEND bytes "${lo},${hi},${units}")
      math(EXPR size "${size} + 2 + 2 * ${n}")
    endforeach()
    string(APPEND body "alignas(2) const unsigned char kStringBlock${block}[] = {${bytes}};\n")
    string(APPEND entries "    {6, ${block}, kStringBlock${block}, ${size}},\n")
  endforeach()
  file(WRITE "${OUT}"
    "// Generated from vyra.rc by embed.cmake.\n"
    "#include \"platform/embedded_resources.h\"\n\n"
    "namespace vyra::plat {\nnamespace {\n${body}}  // namespace\n\n"
    "extern const EmbeddedResource kEmbeddedResources[] = {\n${entries}};\n"
    "extern const size_t kEmbeddedResourceCount = sizeof kEmbeddedResources / sizeof kEmbeddedResources[0];\n"
    "}  // namespace vyra::plat\n")
elseif(NOT WIN32)
  set(vyra_resources_cpp ${CMAKE_BINARY_DIR}/generated/module_resources_data.cpp)
  file(GLOB vyra_resource_files CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.txt)
  add_custom_command(
    OUTPUT ${vyra_resources_cpp}
    COMMAND ${CMAKE_COMMAND} -DRC=${CMAKE_CURRENT_LIST_DIR}/vyra.rc -DOUT=${vyra_resources_cpp}
            -P ${CMAKE_CURRENT_LIST_FILE}
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/vyra.rc ${vyra_resource_files} ${CMAKE_CURRENT_LIST_FILE}
    COMMENT "Embedding module resources"
    VERBATIM)
  target_sources(vyra_core PRIVATE ${vyra_resources_cpp})
endif()
