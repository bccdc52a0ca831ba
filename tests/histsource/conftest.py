"""Every data-source test id names the implementation it ran on."""
import implementations

implementation = implementations.mode_fixture("histsource")
