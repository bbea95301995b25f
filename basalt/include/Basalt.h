#pragma once
// Basalt: the helper library beside Corvane.dll.
#include <basalt/Config.h>
#include <basalt/Exceptions.h>
#include <basalt/Sync.h>
#include <basalt/Translator.h>
#include <basalt/Variant.h>
#include <basalt/ustring.h>
