#pragma once
// The property-tree JSON reader. Its parser still includes the old boost/bind.hpp, which prints a
// deprecation note in every file unless the global placeholders are asked for.

#ifndef BOOST_BIND_GLOBAL_PLACEHOLDERS
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#endif
#include <boost/property_tree/json_parser.hpp>
