"""The suite runs against the installed package, never the source folder."""

import pathlib
import sysconfig

import tools
import tools.common.find_origin as find_origin_module


def test_package_comes_from_site_packages():
    site = pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()
    assert pathlib.Path(tools.__file__).resolve().is_relative_to(site)
    assert pathlib.Path(find_origin_module.__file__).name.endswith(
        sysconfig.get_config_var("EXT_SUFFIX")
    )
