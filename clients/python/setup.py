"""The wheel carries a native executable, so it is tagged for this platform
(any Python 3, no ABI) instead of as pure Python."""
import sysconfig

from setuptools import setup

try:
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:  # setuptools before 70 keeps it in the wheel package
    from wheel.bdist_wheel import bdist_wheel


class PlatformWheel(bdist_wheel):
    def finalize_options(self):
        if self.plat_name is None:
            self.plat_name = sysconfig.get_platform()
        super().finalize_options()


setup(cmdclass={"bdist_wheel": PlatformWheel})
