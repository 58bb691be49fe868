// The program's icon, resource number 101, embedded in the executable as its .ico file.
#pragma once

#include "lumen/lumen.h"

namespace resources {

// The .ico image (16 to 256 px, 32 bits per pixel, the 256 px one a PNG; on the web 16 and 32
// px, both PNG) in the form Lumen takes on Linux and the web.
extern const lumen::IconFile kIcon;

}  // namespace resources
