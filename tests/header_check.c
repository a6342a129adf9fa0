/* The public headers compile as C; their layout assertions hold there too. */
#include "qvfnc.h"
#include "qvhost.h"

int qv_header_check_as_c(void) { return (int)sizeof(ExtInstance) + (int)sizeof(qvh_info); }
