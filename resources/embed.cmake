# Writes OUT, a C++ file holding the bytes of ICO as resources::kIcon.
file(READ ${ICO} hex HEX)
string(LENGTH "${hex}" length)
math(EXPR bytes "${length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," body "${hex}")
string(REGEX REPLACE "((0x..,){24})" "\\1\n" body "${body}")
file(WRITE ${OUT} "// Generated from stackrise.ico at build time.\n#include \"resources/icon.h\"\n\nnamespace resources {\nnamespace {\nconst uint8_t kBytes[${bytes}] = {\n${body}\n};\n}  // namespace\nconst lumen::IconFile kIcon = {lumen::kIconMagic, ${bytes}, kBytes};\n}  // namespace resources\n")
