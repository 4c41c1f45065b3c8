"""Scenario steps for the scripts that write scenarios from the product's facts: words as the
scenario parser reads them, and the boxes of a normal install with the user's answers.

    import scenario_steps as steps
    lines = steps.confirm(facts, folder) + steps.next_disc(facts, 2) + steps.next_disc(facts, 3)
    lines += steps.finish(facts)
"""


def word(text):
    """A scenario word: quoted, its quotes doubled, when it holds a space or a quote."""
    if " " in text or '"' in text:
        return '"%s"' % text.replace('"', '""')
    return text


def expect_dialog(title):
    return "expect dialog " + word(title)


def expect_box(caption, text, buttons, owner, topmost=False):
    """A message box step; buttons "ok", "okcancel" or "yesno", owner "owner", "setup",
    "install" or "none"; topmost: above other programs' windows."""
    return "expect box %s %s %s owner %s%s" % (word(caption), word(text), buttons, owner,
                                               " topmost" if topmost else "")


def confirm(facts, folder):
    """The confirmation of an install into folder, answered yes."""
    return [expect_box(facts["CaptionInstall"], facts.confirm_text(folder), "yesno", "owner"),
            "answer yes"]


def next_disc(facts, disc):
    """The prompt for disc 2 or 3 (the map data disc), answered by putting it in drive D."""
    prompt = facts["TextInsertDisc2"] if disc == 2 else facts["TextInsertMapDisc"]
    return [expect_box(facts["CaptionNotice"], prompt, "okcancel", "install", topmost=True),
            "insert d disc%d" % disc, "answer ok"]


def finish(facts):
    """The end of an install after the last disc: DirectX declined, the completion notice and
    the notice that there is no uninstaller acknowledged, and the installer's exit status."""
    return [expect_box(facts["CaptionInstall"], facts["TextOfferDirectX"], "yesno", "owner"),
            "answer no",
            expect_box(facts["CaptionNotice"], facts["TextInstallDone"], "ok", "install"),
            "answer ok",
            expect_box(facts["CaptionAttention"], facts["TextNoUninstaller"], "ok", "owner"),
            "answer ok",
            "expect exit -1"]
