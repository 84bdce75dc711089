#!/usr/bin/env python3
"""Identifies the drive at the other end of a channel: host axis, firmware version, baud rate.

    identify.py --port 1                 # COM1, RS-232 (host axis detected)
    identify.py --port 2 --rs485 --host-axis 1 --axis 5
    identify.py --driver build/default/sim/libzorcomm-simdriver.so

The library is found through --library, else as zorcomm.Library() finds it (ZORCOMM_LIBRARY,
pkg-config's libdir, the dynamic loader, beside the package); the package installed with
pip install ./python, or through PYTHONPATH (build/<preset>/python after a build)."""

from __future__ import annotations

import argparse
import sys

import zorcomm


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--port", type=int, help="serial port number N (COMN)")
    where.add_argument("--driver", help="a virtual serial driver library")
    parser.add_argument("--rs485", action="store_true", help="the port is an RS-485 bus")
    parser.add_argument("--host-axis", type=int, default=0, help="axis ID of the PC's drive")
    parser.add_argument("--axis", type=int, help="identify this axis instead of the host")
    parser.add_argument("--library", help="path of libzorcomm.so")
    arguments = parser.parse_args()

    if arguments.driver:
        device, kind = arguments.driver, zorcomm.ChannelType.VIRTUAL_SERIAL
    else:
        device = f"COM{arguments.port}"
        kind = zorcomm.ChannelType.RS485 if arguments.rs485 else zorcomm.ChannelType.RS232
    try:
        library = zorcomm.Library(arguments.library)
        with library.open(device, kind, host_axis=arguments.host_axis) as channel:
            if arguments.axis is not None:
                channel.set_active_axis(arguments.axis)
            print(f"host axis:   {channel.host_axis()}")
            print(f"active axis: {channel.active_axis()}")
            print(f"firmware:    {channel.drive_version()}")
            print(f"baud rate:   {channel.baud_rate()}")
    except (zorcomm.ZorcommError, zorcomm.LibraryNotFoundError) as error:
        print(f"identify: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
