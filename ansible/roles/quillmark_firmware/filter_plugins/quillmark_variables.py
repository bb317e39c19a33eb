# -*- coding: utf-8 -*-
"""The role's variable names: a misspelt one would otherwise be ignored without a word, and a
host would pass its rollout without being updated."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import difflib
import os

import yaml

# The role's variables, as its entry point declares them for Ansible's own validation.
ROLE_META = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "meta",
                         "main.yml")


def known_variables():
    with open(ROLE_META) as f:
        return set(yaml.safe_load(f)["argument_specs"]["main"]["options"])


def quillmark_unknown_variables(names, also_known=()):
    """The names of `names` that are none of the role's variables but look like one, each
    with the variable it is likely meant to be."""
    known = known_variables() | set(also_known)
    unknown = []
    for name in sorted(set(names) - known):
        close = difflib.get_close_matches(name, known, n=1, cutoff=0.8)
        if close or name.startswith("quillmark_"):
            unknown.append(name + (" (did you mean %s?)" % close[0] if close else ""))
    return unknown


class FilterModule(object):
    def filters(self):
        return dict(quillmark_unknown_variables=quillmark_unknown_variables)
