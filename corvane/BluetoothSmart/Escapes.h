#pragma once
// The two escape functions of the Bluetooth Smart locator.
#include <Corvane/BluetoothSmart.h>
#include "CorvaneAux/Escape.h"

namespace corvane {

// "GetSupportedServices" (Address): the GATT services of a known device, from
// its device node; the device itself is not asked.
class CBluetoothSmartPortLocator::CGetSupportedServicesFunc : public COwnedEscapeFunction<CBluetoothSmartPortLocator> {
public:
    explicit CGetSupportedServicesFunc(CBluetoothSmartPortLocator* owner);
    boost::shared_ptr<IPropertySet> GetParameters() const override;
    boost::shared_ptr<IPropertySet> Invoke(boost::shared_ptr<IPropertySet> args) override;
};

// "GetCharacteristicValues" (Address, Service): the value of every readable
// characteristic of one GATT service, read from the device.
class CBluetoothSmartPortLocator::CGetCharacteristicValuesFunc
    : public COwnedEscapeFunction<CBluetoothSmartPortLocator> {
public:
    explicit CGetCharacteristicValuesFunc(CBluetoothSmartPortLocator* owner);
    boost::shared_ptr<IPropertySet> GetParameters() const override;
    boost::shared_ptr<IPropertySet> Invoke(boost::shared_ptr<IPropertySet> args) override;
};

}  // namespace corvane
