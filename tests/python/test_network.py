"""The simulated network: masters and devices stepped on one clock."""

import pytest
from pair_helpers import CYCLE_US, Pair

import tarnwick
from virtual_slave import Network, NetworkError, brisel

S = tarnwick
CLOCK_MASK = 0xFFFFFFFF


class DefaultDevice:
    """The brisel module's default device, as the network steps a device."""

    now = 0  # the Pair set the device's clock to 0

    def set_request(self, request):
        brisel.set_request(request)

    def process(self):
        brisel.process()

    def get_reply(self):
        return brisel.get_reply()

    def advance(self, us):
        self.now = (self.now + us) & CLOCK_MASK
        brisel.set_mock_time(self.now)


class Broken(DefaultDevice):
    def process(self):
        raise RuntimeError("device fault")


class Dropping:
    """A link that delivers no reply for `cycles` cycles from cycle `start` on."""

    def __init__(self, start, cycles):
        self.cycle, self.start, self.end = 0, start, start + cycles

    def request(self, frame):
        return frame

    def reply(self, frame):
        return None if self.start <= self.cycle < self.end else frame

    def step(self):
        self.cycle += 1


@pytest.fixture
def net():
    network = Network(CYCLE_US)
    pairs = []
    yield network, pairs
    for p in pairs:
        p.close()


def add_pair(net, link=None, **kwargs):
    network, pairs = net
    pairs.append(Pair(2, 0.05, clock=network.clock, **kwargs))
    pairs[-1].handler.start()
    return network.add(pairs[-1].handler, DefaultDevice(), link)


def test_a_pair_walks_to_data_and_the_history_shows_each_state(net):
    network, _ = net
    c = add_pair(net)
    used = network.run_until(Network.all_in_data, 100)
    assert network.cycle == used and network.clock.now_us == used * CYCLE_US
    walk = [cls for _, cls in c.history]
    assert walk[-4:] == [S.StateSession, S.StateConnection, S.StateParameter, S.StateData]
    network.run(10)
    assert c.cycles_in(S.StateData, network.cycle) == 10


@pytest.mark.parametrize("lost, reset", [(40, False), (60, True)])
def test_lost_replies_are_tolerated_within_the_watchdog_time_only(net, lost, reset):
    network, pairs = net
    link = Dropping(start=10_000, cycles=lost)
    c = add_pair(net, link)
    network.run_until(Network.all_in_data, 100)
    link.start, link.end = link.cycle, link.cycle + lost
    network.run(lost)
    assert [e[0] for e in pairs[0].errors if e[0] == "DATA_WD"] == (["DATA_WD"] if reset else [])
    assert network.run_until(Network.all_in_data, 200) >= 0 and c.in_data()


def test_a_failing_connection_is_reported_and_the_others_step_on(net):
    network, pairs = net
    healthy = add_pair(net)
    pairs.append(Pair(2, 0.05, clock=network.clock))
    broken = network.add(pairs[-1].handler, Broken(), name="broken")
    with pytest.raises(NetworkError) as raised:
        network.step()
    assert [(c.name, str(e)) for c, e in raised.value.failures] == [("broken", "device fault")]
    assert network.cycle == 1
    network.remove(broken)
    network.run_until(Network.all_in_data, 100)
    assert healthy.in_data()


def test_wrong_masters_devices_and_counts_are_refused(net):
    network, pairs = net
    threaded = Pair(2, 0.05)
    other_clock = Pair(2, 0.05, clock=True)
    pairs += [threaded, other_clock]
    cases = [
        (lambda: network.add(threaded.handler, DefaultDevice()), ValueError, "watchdog thread"),
        (lambda: network.add(other_clock.handler, DefaultDevice()), ValueError, "another clock"),
        (lambda: network.add(object(), DefaultDevice()), TypeError, "MasterHandler"),
        (lambda: network.run(-1), ValueError, "negative"),
        (lambda: network.run(1.5), TypeError, "int"),
        (lambda: network.run_until(lambda n: False, 0), TimeoutError, "0 cycles"),
        (lambda: Network(0), ValueError, "positive"),
    ]
    for call, error, text in cases:
        with pytest.raises(error, match=text):
            call()
    pairs.append(Pair(2, 0.05, clock=network.clock))
    with pytest.raises(TypeError, match=r"device has no set_request\(\)"):
        network.add(pairs[-1].handler, object())


def test_a_link_in_the_network_injects_and_the_connection_recovers(net):
    from virtual_slave import Fault, Link

    network, pairs = net
    link = Link(seed=3)
    c = add_pair(net, link)
    network.run_until(Network.all_in_data, 100)
    link.at(link.cycle, Fault.CORRUPTION, "reply", bits=[9])
    network.run(1)
    assert c.state is S.StateReset and len(link.injections) == 1
    network.run_until(Network.all_in_data, 100)
    assert [cls for _, cls in c.history].count(S.StateData) == 2
