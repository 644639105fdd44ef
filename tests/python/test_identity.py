"""The seeded corpus of identity.py gives the reference's digests on this platform.

The same stored digests are checked on every wheel of every interpreter and CPU
and on builds from source with other compilers: equal digests mean the same bits
for every non-NaN output and NaN at the same positions everywhere.
"""

import pytest

import identity


def test_stored_digests_are_the_references():
    assert identity.run_reference().result() == identity.stored()


@pytest.mark.parametrize("name", identity.DIGESTED)
def test_marundex_gives_the_stored_digest(mdx, name):
    digest = identity.run_marundex(mdx, only=name).hashes[name].hexdigest()
    if digest != identity.stored()[name]:
        pytest.fail(f"{name} differs from the reference: {identity.first_difference(mdx, name)}")
