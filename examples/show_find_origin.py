"""tools.common.find_origin: the folder of a file, or of the source of a function or class."""

import json

from tools.common.find_origin import find_origin


def show() -> None:
    print("folder of this file, from __file__:   ", find_origin(__file__))
    print("folder of a relative file name:       ", find_origin("notes/today.txt"))
    print("folder where json.dumps is defined:   ", find_origin(func=json.dumps))
    print("folder of this module's show():       ", find_origin(func=show))
    print("given nothing:                        ", find_origin())
    try:
        find_origin(func=len)
    except TypeError as error:
        print("a built-in has no source file:        ", error)
