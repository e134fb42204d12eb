#pragma once

// Symbols of the core storage library are part of its public interface. The system that
// uses it builds with hidden visibility, so these declarations must say so themselves.
#define TARNCORE_API __attribute__((visibility("default")))
