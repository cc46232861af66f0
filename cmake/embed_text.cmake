# cmake -DINPUT=FILE -DOUTPUT=FILE.cpp -DHEADER=H -DNAMESPACE=NS -DFUNCTION=NAME -P embed_text.cmake
# Writes a C++ file whose function NS::NAME() returns FILE's bytes as a
# std::string_view; bytes, so no text of the file can end a literal early.
file(READ "${INPUT}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(([^,]*,){24})" "\\1\n    " bytes "${bytes}")
file(WRITE "${OUTPUT}.part"
  "// Made from ${INPUT} at build time.\n"
  "#include \"${HEADER}\"\n\n"
  "namespace ${NAMESPACE} {\n\n"
  "std::string_view ${FUNCTION}() {\n"
  "    static const unsigned char bytes[] = {\n    ${bytes}0};\n"
  "    return {reinterpret_cast<const char*>(bytes), sizeof bytes - 1};\n"
  "}\n\n"
  "}  // namespace ${NAMESPACE}\n")
file(RENAME "${OUTPUT}.part" "${OUTPUT}")
