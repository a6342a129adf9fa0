/* The public header compiles as C; its layout assertions hold there too. */
#include "qvfnc.h"

int qv_header_check_as_c(void) { return (int)sizeof(ExtInstance); }
