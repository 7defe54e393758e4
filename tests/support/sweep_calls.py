"""The calls of the sweep tests' strategies, in a module of their own: a list the strategies append to is
read by them as this module's attribute, so that it is no part of their code's fingerprint."""

CALLS = []  # (parameters) of every call in this process
