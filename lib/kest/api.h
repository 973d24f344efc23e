// Marks the names that libkest.so exports; everything else in the library,
// including its private copies of the configuration and transport modules,
// stays hidden.
#pragma once

#define KEST_API __attribute__((visibility("default")))
