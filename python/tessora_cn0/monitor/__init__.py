"""Live monitoring of reference-station streams: NTRIP and raw TCP clients that reconnect on their
own, the caster's sourcetable, and the small pieces of logic that judge a live stream (latency,
observation rate, corruption).

The modules are imported one by one (``tessora_cn0.monitor.client`` and its siblings); this file
imports nothing, so that reaching the subpackage costs nothing.
"""
