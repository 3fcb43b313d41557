"""Reading and writing what the command line takes and gives: weather time
series from CSV (:mod:`klimora.iotools.weather_csv`), and a day's rows as an
aligned table, CSV or JSON (:mod:`klimora.iotools.tables`) or drawn into a
figure (:mod:`klimora.iotools.plot`)."""
