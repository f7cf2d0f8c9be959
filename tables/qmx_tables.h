// Every table's classes and entry points, declared from catalogue.def.
#pragma once

#include "table_pattern.h"

#define QMX_TABLE(number, stem, NAME, group, step, header, variation, source, definition, alternate, \
                  attributes)                                                                       \
  QMX_DECLARE_TABLE(number, stem, variation, source)
#include "catalogue.def"
#undef QMX_TABLE

// The table 9 request object alive most recently (null when none): the role-based services rows
// reuse its service states. Set by its constructor, cleared by its destructor.
extern qmx_mseservr_agent* g_pServerStatusRequest;
// The role-based services row holder, obtained by the table 9 request object; null before.
extern RbsRowHolder* g_pRbsRowHolder;
