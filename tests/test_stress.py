"""The stress scenarios of tests/stress.py at small scale: each must come back
to the descriptors, threads and RSS it started with."""

import pytest

import stress


@pytest.mark.allow_leaks  # the scenario measures and checks its own
@pytest.mark.timeout(300)
@pytest.mark.parametrize("scenario", stress.SCENARIOS, ids=lambda s: s.name)
def test_scenario_comes_back_to_its_start(scenario):
    outcome = stress.run_scenario(scenario, "small")
    assert outcome.ok, "\n" + stress.format_table([outcome])
    assert outcome.cycles >= scenario.small * 0.9


def test_the_table_reports_a_leak():
    held = []

    def leaks_a_descriptor(cycles):
        held.append(open("/dev/null"))
        return cycles

    leaky = stress.Scenario("leaky", "keeps a descriptor", leaks_a_descriptor, small=1, full=1,
                            settle_seconds=0.2)
    try:
        outcome = stress.run_scenario(leaky, "small")
    finally:
        held[0].close()
    assert not outcome.ok and "descriptors left open" in outcome.problems[0]
    assert outcome.end.fds == outcome.start.fds + 1 and outcome.peak.fds > outcome.start.fds
    assert "FAIL: descriptors left open" in stress.format_table([outcome])
