// The class name of a caught error, for the "Exception %1 : %2" lines that
// thread bodies write when they catch an error and carry on.
//
// Thread-safety: a pure function.
#pragma once

#include <exception>
#include <string>

// "EUDPSocket" for an EUDPSocket, whatever namespace it lives in is dropped.
std::string ExceptionClassName(const std::exception& error);
