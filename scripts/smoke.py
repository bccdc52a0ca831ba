"""Imports the three native modules and exercises the live bridge's history accessors."""
import corvane.tessara.datac.services.index as index
import corvane.tessara.mod.mod_quant_data.data_sources.histsource as histsource
import corvane.tessara.utils.livefeed as livefeed

print("modules:", livefeed.__name__, histsource.__name__, index.__name__)
print("event_queue capacity:", livefeed.event_queue.maxlen)
print("get_current_tick('000001.SZ') before any data:", livefeed.get_current_tick("000001.SZ"))
