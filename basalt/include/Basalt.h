#pragma once
// Basalt: the helper library beside Corvane.dll.
#include <basalt/Config.h>
#include <basalt/CommPort.h>
#include <basalt/Exceptions.h>
#include <basalt/File.h>
#include <basalt/GATT.h>
#include <basalt/Sockets.h>
#include <basalt/SetupAPI.h>
#include <basalt/Sync.h>
#include <basalt/Threads.h>
#include <basalt/Translator.h>
#include <basalt/Variant.h>
#include <basalt/ustring.h>
#include <basalt/Registry.h>
