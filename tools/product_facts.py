"""The installer's product facts, for the scripts that play, check or make its discs: labels,
folders, sizes, message texts (UTF-8), shortcuts and dialog texts.

They are read from product-facts.json, which the host build writes from the product's own
constants and resources (tools/facts): PRODUCT_FACTS names the file, else it is
build/host/product-facts.json of the source tree (tools/build-all makes it).

    import product_facts
    facts = product_facts.load()
    facts.labels          # ("KELVO_1", ...), the first disc's first
    facts["CaptionNotice"]
"""

import json
import os
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
DEFAULT_FILE = SOURCE / "build" / "host" / "product-facts.json"


class FactsMissing(Exception):
    pass


class Facts(dict):
    """The JSON object, keyed by the product's own names, with a few facts derived from them."""

    @property
    def labels(self):
        """The three disc labels in the order the discs are copied."""
        return (self["DiscLabel1"], self["DiscLabel2"], self["MapDiscLabel"])

    @property
    def product_folder(self):
        return self["ProductFolder"]

    @property
    def install_dir(self):
        """The install folder the setup dialog offers."""
        return self["DefaultInstallRoot"] + "\\" + self["ProductFolder"]

    @property
    def game_exe(self):
        """The game's program in the product folder, which the installer starts."""
        return self["GameExeSuffix"].lstrip("\\")

    @property
    def directx_setup(self):
        """The DirectX setup's path from a disc's root, with / between the parts."""
        return self["DirectXSetup"].replace("\\", "/")

    @property
    def started_programs(self):
        """The programs on the discs that the installer starts (the game, the DirectX setup),
        as paths from a disc's root with / between the parts."""
        return (self.product_folder + "/" + self.game_exe, self.directx_setup)

    @property
    def shortcut_targets(self):
        """The programs and files in the product folder that shortcuts point to."""
        return tuple(row["target"] for row in self["Shortcuts"])

    def confirm_text(self, folder):
        """The confirmation box's text for an install into folder."""
        return self["TextConfirmInstall"].replace("%s", folder, 1)


def load(path=None):
    """The facts from path, PRODUCT_FACTS or the default build's file; FactsMissing with what
    to do when there is none."""
    path = Path(path or os.environ.get("PRODUCT_FACTS") or DEFAULT_FILE)
    try:
        with open(path, encoding="utf-8") as file:
            return Facts(json.load(file))
    except FileNotFoundError:
        raise FactsMissing("no product facts at %s: build the host build first (tools/build-all, "
                           "or ninja -C build/host product-facts), or name the file in "
                           "PRODUCT_FACTS" % path) from None
