"""Helpers shared by the Python tests (PYTHONPATH = tests/support/python).

- strelltest.servers: the loopback HTTPS servers (nginx as the maker's static server, and our own
  fault-injecting one), their throwaway PKI, fake USB device trees, and runs of a program in a private
  mount namespace that trusts the test CA. Its module documentation lists the API.
- strelltest.packages: driver packages as the maker ships them (zip files with the setup program in
  place), and the catalogue document that lists them.
- strelltest.codes: the installer's exit codes, their names, and what a starting process reads of them.
- strelltest.native: the Linux build under test (its programs, the supported-model table, setup records).
- strelltest.wine: the Windows build under Wine (prefixes, Xvfb, launching with a Windows parent).

Importing this package does nothing by itself; import the module you need.
"""
