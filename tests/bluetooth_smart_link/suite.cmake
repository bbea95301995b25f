# The link protocol engine and the discrete-event model of a whole link
# (sim/bluetooth-smart), white-box and in virtual time.
corvane_test(bluetooth_smart_link blesim_model)
