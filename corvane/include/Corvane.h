#pragma once
// Corvane SDK: everything a client program needs, in one include.
#include <Corvane/Config.h>
#include <Corvane/Properties.h>
#include <Corvane/Addresses.h>
#include <Corvane/Ports.h>
#include <Corvane/Serial.h>
#include <Corvane/BluetoothSmart.h>
