"""The simulated board as a package: board (the board and its processes),
mbmaster (the Modbus master's helpers, the CRC, the WAV builder), maplayout
(the register map read from modbus/map_layout.h), modemctl (the modem
simulator's control socket), modem_pdu, modem_sim, rs485_bus, demo. The
scripts among them still run as scripts (sim/board.py, sim/demo.py, ...)."""
